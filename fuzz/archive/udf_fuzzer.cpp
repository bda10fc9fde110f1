// Lists the input as a UDF image and extracts every member into a sink with a budget, as the
// unpacking kernel would.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/udf_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The anchor sits at sector 256, so images are at least half a megabyte with 2048-byte sectors.
  if (size > (1u << 21))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  TAbUdfArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.udf");
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return 0;
  }
  // Member failures never leave the extraction; anything thrown here is a defect.
  const int count = archive.MemberCount() < 64 ? archive.MemberCount() : 64;
  for (int i = 0; i < count; ++i) {
    kyv::VectorSink sink(1u << 22);
    archive.ExtractMemberToStreamAt(i, sink);
  }
  return 0;
}
