// Feeds arbitrary bytes to the module loader and the unpack-code reader. The first byte picks
// the way in:
//   0: the rest is a PE image, mapped and linked through a host that resolves to made-up
//      addresses and never runs image code;
//   1: the rest is a stored unpack-code file, read with LoadCodeFile;
//   2: the rest is a decoded unpack-code image; its records are read and each one is mapped and
//      linked as in 0.
// Shared objects are never loaded here: only the system host hands images to the dynamic linker.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "modload/dll_unit.h"
#include "platform/system.h"
#include "unpack/unpack_code.h"

namespace {

using namespace kyv;

class InertHost final : public modload::TModuleHost {
public:
  void* LoadLibrary(const std::string& name) override {
    return name.size() % 3 == 0 ? nullptr : this;
  }
  void* FindLibrary(const std::string&) override { return this; }
  void* ProcByName(void*, const std::string& name) override {
    return reinterpret_cast<void*>(0x10000 + name.size());
  }
  void* ProcByOrdinal(void*, std::uint16_t ordinal) override {
    return reinterpret_cast<void*>(0x20000 + std::uintptr_t{ordinal});
  }
  void ReleaseLibrary(const std::string&) override {}
  bool CallEntry(void*, void*, std::uint32_t reason) override {
    return reason != 1 || attach_++ % 4 != 3;
  }

private:
  unsigned attach_ = 0;
};

void mapAndLink(std::span<const std::byte> image) {
  InertHost host;
  void* targets[3] = {};
  const modload::TImportItem wanted[] = {
      {"RAROpenArchiveEx", &targets[0]}, {"RARProcessFile", &targets[1]}, {"TestAdd", &targets[2]}};
  modload::TLibInfo lib;
  modload::LoadModuleImage(image, wanted, lib, &host);
  modload::FreeModuleImage(lib);
}

std::string scratchFile() {
  return (std::filesystem::temp_directory_path() /
          ("kyv_modload_fuzz_" + std::to_string(platform::processId()) + ".kyv"))
      .string();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Real unpack-code files and modules are well under this; larger inputs only slow the search.
  if (size == 0 || size > (1u << 20))
    return 0;
  const std::span<const std::byte> rest(reinterpret_cast<const std::byte*>(data) + 1, size - 1);
  switch (data[0] % 3) {
  case 0:
    mapAndLink(rest);
    break;
  case 1: {
    static const std::string path = scratchFile();
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(rest.data()),
                static_cast<std::streamsize>(rest.size()));
    }
    unpack::TUnpackCodeArray code;
    unpack::LoadCodeFile(path, code);
    std::filesystem::remove(path);
    break;
  }
  default: {
    unpack::TUnpackCodeArray code;
    if (unpack::ReadUnpackCodeRecords(rest, code))
      for (const auto& record : code)
        mapAndLink(record.Code);
    break;
  }
  }
  return 0;
}
