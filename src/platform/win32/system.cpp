// rand_s, the system's cryptographic random numbers through the C library, is declared only
// when this comes before the C library's headers.
#define _CRT_RAND_S
#include <stdlib.h>

#include "platform/system.h"

#include <windows.h>

#include <mutex>

namespace kyv::platform {

char pathSeparator() { return '\\'; }

std::string moduleFileName() {
  // The module that holds this code (the plug-in DLL when linked into it), by its own
  // instance handle, with the classic 260-character buffer.
  HMODULE self = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&moduleFileName), &self);
  char buffer[MAX_PATH];
  const DWORD n = ::GetModuleFileNameA(self, buffer, MAX_PATH);
  return std::string(buffer, n);
}

namespace {
std::string gTempRoot;
std::string gTempFolder;
std::string gTempError;

// Names nobody can guess in advance: the system's cryptographic random numbers, with the clock
// and the process as a last resort should they ever fail.
std::uint64_t randomName() {
  unsigned int high = 0;
  unsigned int low = 0;
  if (rand_s(&high) == 0 && rand_s(&low) == 0)
    return (std::uint64_t{high} << 32) | low;
  LARGE_INTEGER counter{};
  ::QueryPerformanceCounter(&counter);
  return static_cast<std::uint64_t>(counter.QuadPart) * 0x9E3779B97F4A7C15ull ^
         ::GetCurrentProcessId();
}

MakeFolderResult makeFolder(const std::string& path) {
  if (::CreateDirectoryA(path.c_str(), nullptr))
    return MakeFolderResult::Made;
  const DWORD error = ::GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? MakeFolderResult::Taken
                                                                     : MakeFolderResult::Failed;
}

// The folder and the files the scans left in it (none, unless a scan was cut short).
void removeTempFolder() {
  if (gTempFolder.empty() || !gTempError.empty())
    return;
  WIN32_FIND_DATAA entry;
  const HANDLE find = ::FindFirstFileA((gTempFolder + "\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ::DeleteFileA((gTempFolder + "\\" + entry.cFileName).c_str());
    } while (::FindNextFileA(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryA(gTempFolder.c_str());
}
} // namespace

void setTempRoot(const std::string& root) {
  gTempRoot = root;
  if (!gTempRoot.empty() && gTempRoot.back() != '\\' && gTempRoot.back() != '/')
    gTempRoot += '\\';
}

std::string tempFolder() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string root = gTempRoot;
    if (root.empty()) {
      char buffer[1024];
      const DWORD n = ::GetTempPathA(1023, buffer);
      if (n == 0 || n > 1023) {
        gTempError = "the system names no temporary folder";
        return;
      }
      root.assign(buffer, n);
    }
    // Files of their own in the shared temporary folder would let anyone who can write there
    // plant folders at the names member files take, and so switch unpacking off: the files go
    // into a folder of this process's own, under a name drawn afresh until one is free.
    gTempFolder = makeUniqueFolder(root, "kyv-", randomName, makeFolder);
    if (gTempFolder.empty()) {
      gTempError = root + ": " + lastErrorText();
      gTempFolder = root;
      return;
    }
    std::atexit(removeTempFolder);
  });
  return gTempFolder;
}

std::string tempFolderError() {
  tempFolder();
  return gTempError;
}

void removeTempFolderOnSignals() {}

std::string lastErrorText() {
  const DWORD code = ::GetLastError();
  char buffer[512];
  DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, buffer, sizeof buffer, nullptr);
  // The system's texts end with a full stop and a line break, which the callers add themselves.
  while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == '.' ||
                   buffer[n - 1] == ' '))
    --n;
  if (n == 0)
    return "system error " + std::to_string(code);
  return std::string(buffer, n);
}

std::uint32_t processId() { return ::GetCurrentProcessId(); }

void showErrorDialog(const std::string& text, const std::string& caption) {
  if (::MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR) == IDOK)
    return;
  // No desktop to show it on (a service, a headless test run): the message must not be lost, so
  // it goes to the standard error handle, in the system's code page, when there is one.
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE)
    return;
  const std::string line = caption + ": " + text + "\r\n";
  DWORD written = 0;
  ::WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string oemToAnsi(const std::string& text) {
  std::string out(text);
  if (!out.empty())
    ::OemToCharBuffA(out.data(), out.data(), static_cast<DWORD>(out.size()));
  return out;
}

bool fileApisAreAnsi() { return ::AreFileApisANSI() != 0; }

} // namespace kyv::platform
