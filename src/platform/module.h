// What the in-memory module loader asks of the operating system: address space for an image,
// page protection, the system's own library loader, and (POSIX only) bringing a shared object
// up from bytes held in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kyv::platform {

// Page protections an image section can ask for. The write-copy forms exist for images whose
// sections are shared; a private mapping treats them as read/write.
enum class PageAccess {
  NoAccess,
  ReadOnly,
  ReadWrite,
  WriteCopy,
  Execute,
  ExecuteRead,
  ExecuteReadWrite,
  ExecuteWriteCopy,
};

// Reserves size bytes of address space at an address the system chooses, with no access.
// Null when refused.
std::byte* reserveImageMemory(std::size_t size);
// Makes [at, at + size) inside a reservation usable as zero-filled read/write memory.
bool commitImageMemory(std::byte* at, std::size_t size);
// Changes the protection of the pages that hold [at, at + size).
bool protectImageMemory(std::byte* at, std::size_t size, PageAccess access, bool noCache);
// Gives back a whole reservation made by reserveImageMemory.
void releaseImageMemory(std::byte* base, std::size_t size);

// Whether this system runs the code of a mapped 32-bit PE image (32-bit Windows only).
bool canRunPeImages();

// The system loader for the libraries a mapped image imports. Handles are opaque; null means
// not found.
void* loadSystemLibrary(const std::string& name);
void* findSystemLibrary(const std::string& name); // already loaded, no new reference
void* systemLibraryProc(void* library, const std::string& name);
void* systemLibraryOrdinal(void* library, std::uint16_t ordinal);
void releaseSystemLibrary(void* library);

// Calls a PE entry point (module handle, reason, reserved) -> BOOL with the system's calling
// convention. Only where canRunPeImages() is true.
bool callPeEntryPoint(void* entry, void* module, std::uint32_t reason);

// A shared object of this system brought up from bytes in memory without a file on disk
// (an anonymous memory file handed to the dynamic linker). Null and a reason when refused;
// always null where the system has no such objects.
void* loadSharedObjectFromMemory(std::span<const std::byte> bytes, std::string& error);
void* sharedObjectSymbol(void* object, const std::string& name);
void releaseSharedObject(void* object);

} // namespace kyv::platform
