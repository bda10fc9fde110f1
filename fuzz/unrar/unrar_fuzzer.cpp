// Opens the input as a RAR archive, lists it and extracts every member to memory with a budget,
// as the module does for the unpacking kernel.
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_io.h"
#include "unrar/rar_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Larger inputs teach the fuzzer nothing the small ones do not.
  if (size > (1u << 20))
    return 0;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  kyv::MemorySource src(bytes);
  kyv::unrar::RarArchive archive(src);
  if (archive.open() != kyv::unrar::RarStatus::Ok)
    return 0;
  kyv::unrar::RarEntry entry;
  for (int n = 0; n < 256 && archive.next(entry) == kyv::unrar::RarStatus::Ok; ++n) {
    // Every other member is skipped, so solid skipping is exercised too.
    if (n % 2 == 1) {
      (void)archive.skip();
      continue;
    }
    kyv::VectorSink sink(1u << 22);
    (void)archive.extract(&sink);
  }
  return 0;
}
