// Test-only module that offers the four RAR functions over a trivial scripted archive, so that
// the wrapper and the extraction loop can be driven on both systems without a real archive.
// Built without any run-time library: on Windows it needs only kernel32 and has no thread-local
// storage; elsewhere it is an ordinary shared object.
//
// Script: the first line ends in "KYVRARSCRIPT" (opens), in "KYVRARSCRIPT-BADOPEN" (a handle comes
// back with a failed open result) or in anything else (no handle); it may start with the RAR
// signature "Rar!" so that the dispatcher takes the file for a RAR archive. Every further line is
// one member:
//   unpacked|packed|result|name|content
// with the sizes as 64-bit decimals (the record gets their low and high halves), result what
// extraction returns (the content is written even when it is not 0), and \uXXXX escapes in the
// name. Every call is appended to "<archive>.log", one word per line.
#include "unrar/unrar_abi.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace kyv::unrar;

namespace {

constexpr unsigned kMaxScript = 65536;
constexpr unsigned kMaxPath = 1024;

struct Archive {
  bool used;
  char script[kMaxScript];
  unsigned length;
  unsigned pos;
  char log[kMaxPath + 8];
  // The member whose header was read last.
  unsigned contentStart, contentEnd;
  int result;
};

Archive gArchives[4];

unsigned textLength(const char* s) {
  unsigned n = 0;
  while (s[n] != 0)
    ++n;
  return n;
}

#ifdef _WIN32
using FileHandle = HANDLE;
FileHandle openForRead(const char* path) {
  return CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
}
FileHandle openForWrite(const char* path, bool append) {
  FileHandle h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                             0, nullptr);
  if (h != INVALID_HANDLE_VALUE && append)
    SetFilePointer(h, 0, nullptr, FILE_END);
  return h;
}
bool valid(FileHandle h) { return h != INVALID_HANDLE_VALUE; }
unsigned readSome(FileHandle h, char* to, unsigned n) {
  DWORD got = 0;
  return ReadFile(h, to, n, &got, nullptr) ? got : 0;
}
void writeAll(FileHandle h, const char* from, unsigned n) {
  DWORD put = 0;
  WriteFile(h, from, n, &put, nullptr);
}
void closeFile(FileHandle h) { CloseHandle(h); }
#else
using FileHandle = int;
FileHandle openForRead(const char* path) { return open(path, O_RDONLY); }
FileHandle openForWrite(const char* path, bool append) {
  return open(path, O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC), 0600);
}
bool valid(FileHandle h) { return h >= 0; }
unsigned readSome(FileHandle h, char* to, unsigned n) {
  const long got = read(h, to, n);
  return got > 0 ? static_cast<unsigned>(got) : 0;
}
void writeAll(FileHandle h, const char* from, unsigned n) {
  while (n > 0) {
    const long put = write(h, from, n);
    if (put <= 0)
      return;
    from += put;
    n -= static_cast<unsigned>(put);
  }
}
void closeFile(FileHandle h) { close(h); }
#endif

void note(Archive& a, const char* word) {
  FileHandle h = openForWrite(a.log, true);
  if (!valid(h))
    return;
  writeAll(h, word, textLength(word));
  writeAll(h, "\n", 1);
  closeFile(h);
}

bool endsWith(const char* text, unsigned length, const char* suffix) {
  const unsigned n = textLength(suffix);
  if (length < n)
    return false;
  for (unsigned i = 0; i < n; ++i)
    if (text[length - n + i] != suffix[i])
      return false;
  return true;
}

// The next '|'-separated field of the current line; false at the end of the line.
bool field(Archive& a, unsigned& start, unsigned& end) {
  start = a.pos;
  while (a.pos < a.length && a.script[a.pos] != '|' && a.script[a.pos] != '\n')
    ++a.pos;
  end = a.pos;
  if (a.pos < a.length && a.script[a.pos] == '|') {
    ++a.pos;
    return true;
  }
  return false;
}

unsigned long long number(const Archive& a, unsigned start, unsigned end) {
  unsigned long long v = 0;
  for (unsigned i = start; i < end; ++i)
    v = v * 10 + static_cast<unsigned>(a.script[i] - '0');
  return v;
}

unsigned hexDigit(char c) {
  if (c >= '0' && c <= '9')
    return static_cast<unsigned>(c - '0');
  return static_cast<unsigned>((c | 0x20) - 'a' + 10);
}

} // namespace

extern "C" {

RarHandle KYV_UNRAR_CALL RAROpenArchiveEx(RAROpenArchiveDataEx* data) {
  Archive* a = nullptr;
  for (auto& slot : gArchives)
    if (!slot.used) {
      a = &slot;
      break;
    }
  const unsigned nameLength = textLength(data->ArcName);
  if (a == nullptr || nameLength > kMaxPath) {
    data->OpenResult = kNoMemory;
    return nullptr;
  }
  for (unsigned i = 0; i < nameLength; ++i)
    a->log[i] = data->ArcName[i];
  const char suffix[] = ".log";
  for (unsigned i = 0; i < sizeof suffix; ++i)
    a->log[nameLength + i] = suffix[i];
  FileHandle h = openForRead(data->ArcName);
  if (!valid(h)) {
    data->OpenResult = kOpenError;
    return nullptr;
  }
  a->length = 0;
  while (a->length < kMaxScript) {
    const unsigned got = readSome(h, a->script + a->length, kMaxScript - a->length);
    if (got == 0)
      break;
    a->length += got;
  }
  closeFile(h);
  note(*a, data->OpenMode == kOpenExtract ? "open-extract" : "open-list");
  a->pos = 0;
  while (a->pos < a->length && a->script[a->pos] != '\n')
    ++a->pos;
  const unsigned firstLine = a->pos;
  if (a->pos < a->length)
    ++a->pos;
  if (endsWith(a->script, firstLine, "KYVRARSCRIPT-BADOPEN")) {
    a->used = true;
    data->OpenResult = kBadArchive;
    return a;
  }
  if (!endsWith(a->script, firstLine, "KYVRARSCRIPT")) {
    data->OpenResult = kUnknownFormat;
    return nullptr;
  }
  a->used = true;
  data->OpenResult = kSuccess;
  return a;
}

int KYV_UNRAR_CALL RARCloseArchive(RarHandle handle) {
  Archive* a = static_cast<Archive*>(handle);
  note(*a, "close");
  a->used = false;
  return kSuccess;
}

int KYV_UNRAR_CALL RARReadHeaderEx(RarHandle handle, RARHeaderDataEx* header) {
  Archive& a = *static_cast<Archive*>(handle);
  note(a, "header");
  if (a.pos >= a.length)
    return kEndArchive;
  unsigned s, e;
  field(a, s, e);
  const unsigned long long unpacked = number(a, s, e);
  field(a, s, e);
  const unsigned long long packed = number(a, s, e);
  field(a, s, e);
  a.result = static_cast<int>(number(a, s, e));
  field(a, s, e);
  unsigned n = 0;
  for (unsigned i = s; i < e && n < 1023; ++n) {
    if (a.script[i] == '\\' && i + 6 <= e && a.script[i + 1] == 'u') {
      unsigned code = 0;
      for (unsigned k = 2; k < 6; ++k)
        code = code * 16 + hexDigit(a.script[i + k]);
      header->FileNameW[n] = static_cast<wchar_t>(code);
      i += 6;
    } else {
      header->FileNameW[n] = static_cast<wchar_t>(static_cast<unsigned char>(a.script[i]));
      ++i;
    }
  }
  header->FileNameW[n] = 0;
  field(a, a.contentStart, a.contentEnd);
  if (a.pos < a.length)
    ++a.pos; // the line's newline
  header->UnpSize = static_cast<unsigned>(unpacked);
  header->UnpSizeHigh = static_cast<unsigned>(unpacked >> 32);
  header->PackSize = static_cast<unsigned>(packed);
  header->PackSizeHigh = static_cast<unsigned>(packed >> 32);
  return kSuccess;
}

int KYV_UNRAR_CALL RARProcessFile(RarHandle handle, int operation, char* destPath, char* destName) {
  Archive& a = *static_cast<Archive*>(handle);
  if (operation != kOpExtract) {
    note(a, operation == kOpSkip ? "skip" : "test");
    return kSuccess;
  }
  note(a, destPath == nullptr ? "extract" : "extract-with-folder");
  FileHandle h = openForWrite(destName, false);
  if (!valid(h))
    return kCreateError;
  writeAll(h, a.script + a.contentStart, a.contentEnd - a.contentStart);
  closeFile(h);
  return a.result;
}

} // extern "C"

#ifdef _WIN32
// Compilers may turn loops into these calls; without a run-time library the module brings its own.
extern "C" void* memset(void* to, int value, size_t n) {
  auto* p = static_cast<unsigned char*>(to);
  while (n-- > 0)
    *p++ = static_cast<unsigned char>(value);
  return to;
}
extern "C" void* memcpy(void* to, const void* from, size_t n) {
  auto* p = static_cast<unsigned char*>(to);
  const auto* q = static_cast<const unsigned char*>(from);
  while (n-- > 0)
    *p++ = *q++;
  return to;
}
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
#endif
