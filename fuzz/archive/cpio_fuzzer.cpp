// Lists the input as a cpio archive and extracts every member into a sink with a budget, as the
// unpacking kernel would; also runs the recognition probe over its start. The input is copied
// into a buffer of its exact size, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/cpio_reader.h"
#include "archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kyv::fuzz::kMaxInput)
    return 0;
  using namespace kyv::archive;
  std::vector<std::byte> bytes(size);
  if (size != 0)
    std::memcpy(bytes.data(), data, size);
  (void)probeCpio(bytes);
  TAbCpioArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.cpio");
  kyv::fuzz::listAndExtract(archive);
  return 0;
}
