// Lists the input as a TAR archive and extracts every member into a sink with a budget, as the
// unpacking kernel would; also runs the content test.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/tar_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Larger inputs teach the fuzzer nothing the small ones do not.
  if (size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  {
    kyv::MemorySource probe(bytes);
    VerifyTar(probe);
  }
  TAbTarArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.tar");
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
