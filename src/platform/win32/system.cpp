#include "platform/system.h"

#include <windows.h>

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
}

void setTempRoot(const std::string& root) {
  gTempRoot = root;
  if (!gTempRoot.empty() && gTempRoot.back() != '\\' && gTempRoot.back() != '/')
    gTempRoot += '\\';
}

std::string tempFolder() {
  if (!gTempRoot.empty())
    return gTempRoot;
  char buffer[1024];
  const DWORD n = ::GetTempPathA(1023, buffer);
  if (n == 0 || n > 1023)
    return std::string();
  return std::string(buffer, n);
}

std::string tempFolderError() {
  const std::string folder = tempFolder();
  if (folder.empty())
    return "the system names no temporary folder";
  const DWORD attr = ::GetFileAttributesA(folder.c_str());
  if (attr == INVALID_FILE_ATTRIBUTES)
    return folder + ": " + lastErrorText();
  if (!(attr & FILE_ATTRIBUTE_DIRECTORY))
    return folder + ": not a folder";
  return std::string();
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
