// The ARJ, LZH and SZDD/KWAJ readers. Input: one byte choosing the reader (byte % 3), then the
// archive. Lists it and extracts every member into a sink with a budget, as the unpacking kernel
// would, and runs the recognition tests on its head; member failures never leave the extraction.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/arj_format.h"
#include "archive/arj_reader.h"
#include "archive/lzh_format.h"
#include "archive/lzh_reader.h"
#include "archive/szdd_format.h"
#include "archive/szdd_reader.h"

namespace {

template <class Archive> void walk(std::span<const std::byte> bytes) {
  Archive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz/NAME.EX_");
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return;
  }
  const int count = archive.MemberCount() < 64 ? archive.MemberCount() : 64;
  for (int i = 0; i < count; ++i) {
    kyv::VectorSink sink(1u << 22);
    archive.ExtractMemberToStreamAt(i, sink);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  (void)isArjMainHeader(bytes);
  (void)isLzhHeader(bytes);
  switch (data[0] % 3) {
  case 0:
    walk<TAbArjArchive>(bytes);
    break;
  case 1:
    walk<TAbLzhArchive>(bytes);
    break;
  default:
    walk<TAbSzddArchive>(bytes);
    break;
  }
  return 0;
}
