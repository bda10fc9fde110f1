#include "platform/module.h"

#include <windows.h>

namespace kyv::platform {

namespace {

DWORD protectionFlags(PageAccess access) {
  switch (access) {
  case PageAccess::NoAccess:
    return PAGE_NOACCESS;
  case PageAccess::ReadOnly:
    return PAGE_READONLY;
  case PageAccess::ReadWrite:
    return PAGE_READWRITE;
  case PageAccess::WriteCopy:
    return PAGE_WRITECOPY;
  case PageAccess::Execute:
    return PAGE_EXECUTE;
  case PageAccess::ExecuteRead:
    return PAGE_EXECUTE_READ;
  case PageAccess::ExecuteReadWrite:
    return PAGE_EXECUTE_READWRITE;
  case PageAccess::ExecuteWriteCopy:
    return PAGE_EXECUTE_WRITECOPY;
  }
  return PAGE_NOACCESS;
}

} // namespace

std::byte* reserveImageMemory(std::size_t size) {
  if (size == 0)
    return nullptr;
  return static_cast<std::byte*>(::VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS));
}

bool commitImageMemory(std::byte* at, std::size_t size) {
  return size == 0 || ::VirtualAlloc(at, size, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

bool protectImageMemory(std::byte* at, std::size_t size, PageAccess access, bool noCache) {
  if (size == 0)
    return true;
  DWORD flags = protectionFlags(access);
  if (noCache)
    flags |= PAGE_NOCACHE;
  DWORD old = 0;
  return ::VirtualProtect(at, size, flags, &old) != 0;
}

void releaseImageMemory(std::byte* base, std::size_t) {
  if (base != nullptr)
    ::VirtualFree(base, 0, MEM_RELEASE);
}

bool canRunPeImages() { return sizeof(void*) == 4; }

void* loadSystemLibrary(const std::string& name) { return ::LoadLibraryA(name.c_str()); }
void* findSystemLibrary(const std::string& name) { return ::GetModuleHandleA(name.c_str()); }

void* systemLibraryProc(void* library, const std::string& name) {
  if (library == nullptr)
    return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name.c_str()));
}

void* systemLibraryOrdinal(void* library, std::uint16_t ordinal) {
  if (library == nullptr)
    return nullptr;
  return reinterpret_cast<void*>(
      ::GetProcAddress(static_cast<HMODULE>(library), MAKEINTRESOURCEA(ordinal)));
}

void releaseSystemLibrary(void* library) {
  if (library != nullptr)
    ::FreeLibrary(static_cast<HMODULE>(library));
}

bool callPeEntryPoint(void* entry, void* module, std::uint32_t reason) {
  using DllEntry = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
  const auto function = reinterpret_cast<DllEntry>(entry);
  return function(static_cast<HINSTANCE>(module), reason, nullptr) != FALSE;
}

void* loadSharedObjectFromMemory(std::span<const std::byte>, std::string& error) {
  error = "shared objects from memory are not supported on this system";
  return nullptr;
}
void* sharedObjectSymbol(void*, const std::string&) { return nullptr; }
void releaseSharedObject(void*) {}

} // namespace kyv::platform
