// The whole unpacking road on arbitrary bytes: the input is a file on disk, recognised by its
// head and unpacked member after member, each member recognised and unpacked in turn, exactly as
// the scan kernel drives it (without signatures, which do not change the road).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/file_scanner.h"
#include "platform/file.h"
#include "platform/system.h"
#include "unpack/decompress.h"

namespace {

struct Road {
  kyv::unpack::TKYVDecompress unpacker{"unused"};
  void scan(const std::string& path, const kyv::unpack::TKYVArcInfoArray& chain) {
    kyv::engine::TFileScanner scanner;
    scanner.OpenFile(path);
    unpacker.Unpack(path, scanner, chain);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Road* road = [] {
    auto* r = new Road;
    r->unpacker.SetTempFolder(kyv::platform::NormalizeFolder(kyv::platform::tempFolder()));
    // A small budget, so that members cut by it (and the grace after) come up often.
    r->unpacker.Limits.MaxScanSize = 1u << 20;
    r->unpacker.SetOnItem([r](const kyv::unpack::TKYVArcInfoArray& chain) {
      r->scan(chain.back().ItemFile, chain);
      return true;
    });
    return r;
  }();
  const std::string path = road->unpacker.TempFolder + "fuzz_input.bin";
  {
    auto file = kyv::platform::File::create(path);
    if (!file || !file->write({reinterpret_cast<const std::byte*>(data), size}))
      return 0;
  }
  road->scan(path, {});
  kyv::platform::deleteFile(path);
  return 0;
}
