// The in-memory module loader: turns the bytes of a 32-bit PE dynamic library into a mapped,
// relocated and linked module without the system loader's help for the module itself, and
// unloads it again. Where the system has shared objects of its own (POSIX), an image in that
// format is brought up from memory through the platform instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kyv::modload {

// One wanted export: its exact (case-sensitive) name and the caller's variable that receives
// its address.
struct TImportItem {
  std::string Name;
  void** Target = nullptr;
};

using TStringArray = std::vector<std::string>;

// What a mapped PE image links against and how its entry point is called. The system host
// uses the system loader; tests and the fuzz target link through hosts of their own, which
// resolve to addresses they choose and never run image code.
class TModuleHost {
public:
  virtual ~TModuleHost() = default;
  virtual void* LoadLibrary(const std::string& name) = 0; // a new reference, null if none
  virtual void* FindLibrary(const std::string& name) = 0; // already loaded, no new reference
  virtual void* ProcByName(void* library, const std::string& name) = 0;
  virtual void* ProcByOrdinal(void* library, std::uint16_t ordinal) = 0;
  // Gives back one reference of the library the system finds under this name.
  virtual void ReleaseLibrary(const std::string& name) = 0;
  // Runs the entry point (module, reason, reserved 0); its boolean answer.
  virtual bool CallEntry(void* entry, void* module, std::uint32_t reason) = 0;
};

// The system loader; its images run only where the platform can run PE code.
TModuleHost& SystemModuleHost();

// One loaded module, owned by the caller.
struct TLibInfo {
  void* ModuleBase = nullptr;   // the mapped image (or shared-object handle); null when empty
  void* EntryPoint = nullptr;   // null when the module has none or no detach call is due
  TStringArray LoadedLibraries; // libraries loaded for this module, one name per load

  // Bookkeeping for the release.
  std::size_t ImageSize = 0;
  TModuleHost* Host = nullptr;
  bool SharedObject = false;
};

constexpr std::uint32_t kDllProcessDetach = 0;
constexpr std::uint32_t kDllProcessAttach = 1;

// Maps image and fills result and the wanted targets. Reports no errors to the caller: an image
// that is malformed, that cannot be run here, or whose entry point refuses to attach is released
// at once, leaving result and every target as they were; refusal (when given) gets the reason.
// host null means the system host (and is the only way a shared object is loaded).
void LoadModuleImage(std::span<const std::byte> image, std::span<const TImportItem> wanted,
                     TLibInfo& result, TModuleHost* host = nullptr, std::string* refusal = nullptr);

// Detaches (when attach succeeded), releases the libraries loaded for the module, the module's
// memory, and empties the record. True.
bool FreeModuleImage(TLibInfo& module);

} // namespace kyv::modload
