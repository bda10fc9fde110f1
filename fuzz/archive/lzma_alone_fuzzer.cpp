// The legacy .lzma reader on arbitrary bytes, into a sink that refuses past a few MiB (as the
// scan's budget does). Whatever the outcome, the sink gets no more than it allows.
#include <cstddef>
#include <cstdint>

#include "archive/lzma_alone.h"
#include "archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kyv::fuzz::decodeWithBudget(data, size, [](kyv::ByteSource& in, kyv::ByteSink& out) {
    return kyv::archive::DecodeLzmaAlone(in, out);
  });
  return 0;
}
