// The document reader: the whole file in a buffer of its exact size, every member decoded into a
// sink of 1 MiB (a bomb stops there, as the scan's budget stops it).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "document/pdf_reader.h"

namespace {
constexpr std::size_t kMaxMember = 1u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> file(size);
  if (size > 0)
    std::memcpy(file.data(), data, size);
  const kyv::document::PdfReader reader(file);
  for (const kyv::document::PdfMember& member : reader.members()) {
    kyv::VectorSink sink(kMaxMember);
    (void)reader.extract(member, sink);
  }
  return 0;
}
