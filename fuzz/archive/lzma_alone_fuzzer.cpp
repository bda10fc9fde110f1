// The legacy .lzma reader on arbitrary bytes, into a sink that refuses past a few MiB (as the scan's
// budget does). Whatever the outcome, the sink gets no more than it allows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "archive/lzma_alone.h"
#include "base/byte_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> file(size);
  if (size > 0)
    std::memcpy(file.data(), data, size);
  kyv::MemorySource source(file);
  constexpr std::size_t kBudget = 4u << 20;
  kyv::VectorSink sink(kBudget);
  const auto outcome = kyv::archive::DecodeLzmaAlone(source, sink);
  if (sink.bytes().size() > kBudget || (outcome.ok() != (outcome.problem == kyv::archive::StreamProblem::None)))
    std::abort();
  return 0;
}
