// Loads the input as a GZIP file and extracts its member into a sink with a budget, as the
// unpacking kernel would, then runs the trailer test.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/gzip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  TAbGzipArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.gz");
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return 0;
  }
  if (archive.MemberCount() == 0)
    return 0;
  kyv::VectorSink sink(1u << 22);
  archive.ExtractMemberToStreamAt(0, sink);
  try {
    archive.TestMember(0);
  } catch (const EAbException&) {
    // Damaged data and trailer mismatches are the expected failures of the test.
  }
  return 0;
}
