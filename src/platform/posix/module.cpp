#include "platform/module.h"

#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

namespace kyv::platform {

namespace {

std::size_t pageSize() {
  static const std::size_t size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

int protectionBits(PageAccess access) {
  switch (access) {
  case PageAccess::NoAccess:
    return PROT_NONE;
  case PageAccess::ReadOnly:
    return PROT_READ;
  case PageAccess::ReadWrite:
  case PageAccess::WriteCopy:
    return PROT_READ | PROT_WRITE;
  case PageAccess::Execute:
    return PROT_EXEC;
  case PageAccess::ExecuteRead:
    return PROT_READ | PROT_EXEC;
  case PageAccess::ExecuteReadWrite:
  case PageAccess::ExecuteWriteCopy:
    return PROT_READ | PROT_WRITE | PROT_EXEC;
  }
  return PROT_NONE;
}

// mprotect works on whole pages: widen the range to the pages that hold it.
bool protectPages(std::byte* at, std::size_t size, int prot) {
  if (size == 0)
    return true;
  const auto page = pageSize();
  const auto start = reinterpret_cast<std::uintptr_t>(at) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(at) + size + page - 1) & ~(page - 1);
  return ::mprotect(reinterpret_cast<void*>(start), end - start, prot) == 0;
}

} // namespace

std::byte* reserveImageMemory(std::size_t size) {
  if (size == 0)
    return nullptr;
  void* p = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<std::byte*>(p);
}

bool commitImageMemory(std::byte* at, std::size_t size) {
  return protectPages(at, size, PROT_READ | PROT_WRITE);
}

// The no-cache modifier has no counterpart for ordinary user memory here.
bool protectImageMemory(std::byte* at, std::size_t size, PageAccess access, bool /*noCache*/) {
  return protectPages(at, size, protectionBits(access));
}

void releaseImageMemory(std::byte* base, std::size_t size) {
  if (base != nullptr)
    ::munmap(base, size);
}

// PE images are mapped and linked here (the tests check that) but their code is never run.
bool canRunPeImages() { return false; }

// There are no PE system libraries on this side; imports of a mapped PE image stay unresolved
// unless a caller supplies its own resolver.
void* loadSystemLibrary(const std::string&) { return nullptr; }
void* findSystemLibrary(const std::string&) { return nullptr; }
void* systemLibraryProc(void*, const std::string&) { return nullptr; }
void* systemLibraryOrdinal(void*, std::uint16_t) { return nullptr; }
void releaseSystemLibrary(void*) {}
bool callPeEntryPoint(void*, void*, std::uint32_t) { return false; }

void* loadSharedObjectFromMemory(std::span<const std::byte> bytes, std::string& error) {
  const int fd = ::memfd_create("kyv-module", MFD_CLOEXEC);
  if (fd < 0) {
    error = std::string("memfd_create: ") + std::strerror(errno);
    return nullptr;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      error = std::string("write to memory file: ") + std::strerror(errno);
      ::close(fd);
      return nullptr;
    }
    done += static_cast<std::size_t>(n);
  }
  // The dynamic linker opens its own descriptor through /proc, so ours can go right after.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    error = why != nullptr ? why : "dlopen failed";
  }
  ::close(fd);
  return handle;
}

void* sharedObjectSymbol(void* object, const std::string& name) {
  return object != nullptr ? ::dlsym(object, name.c_str()) : nullptr;
}

void releaseSharedObject(void* object) {
  if (object != nullptr)
    ::dlclose(object);
}

} // namespace kyv::platform
