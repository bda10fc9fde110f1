// Lists the input as a cpio archive and extracts every member into a sink with a budget, as the
// unpacking kernel would; also runs the recognition probe over its start. The input is copied
// into a buffer of its exact size, so any read past it is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <vector>

#include "archive/cpio_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Larger inputs teach the fuzzer nothing the small ones do not.
  if (size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  std::vector<std::byte> bytes(size);
  if (size != 0)
    std::memcpy(bytes.data(), data, size);
  (void)probeCpio(bytes);
  TAbCpioArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.cpio");
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
