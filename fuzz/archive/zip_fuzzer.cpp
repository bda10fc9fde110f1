// Opens the input as a ZIP archive and extracts every member (password "pw", so encrypted seeds
// reach the decoders), each into a sink with a budget, as the unpacking kernel would.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/zip_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Larger inputs teach the fuzzer nothing the small ones do not.
  if (size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  TAbZipArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.zip");
  archive.Password = "pw";
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
