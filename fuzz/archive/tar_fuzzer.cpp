// Lists the input as a TAR archive and extracts every member into a sink with a budget, as the
// unpacking kernel would; also runs the content test.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "archive/tar_reader.h"
#include "archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kyv::fuzz::kMaxInput)
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  {
    kyv::MemorySource probe(bytes);
    VerifyTar(probe);
  }
  TAbTarArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.tar");
  kyv::fuzz::listAndExtract(archive);
  return 0;
}
