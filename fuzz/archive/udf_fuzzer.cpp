// Lists the input as a UDF image and extracts every member into a sink with a budget, as the
// unpacking kernel would.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "archive/udf_reader.h"
#include "archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kyv::fuzz::kMaxImageInput)
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  TAbUdfArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.udf");
  kyv::fuzz::listAndExtract(archive);
  return 0;
}
