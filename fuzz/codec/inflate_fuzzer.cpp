// Inflate on arbitrary bytes. The first byte picks the options (bit 0 Deflate64, bit 1 stop at
// the first move of the window, bit 2 a sink that refuses writes past a budget, bit 3 an output
// limit; the high four bits scale the budget or the limit); the rest is the compressed stream.
// Output is capped so a small input that expands hugely stays quick. Whatever the outcome, what
// was written must be exactly what the decoder says it produced, and a finished stream must
// account for its input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "base/byte_io.h"
#include "codec/inflate.h"

using kyv::codec::InflateStatus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t mode = data[0];
  const std::span<const std::byte> stream(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  const std::size_t scale = 1 + static_cast<std::size_t>(mode >> 4) * 70001;
  kyv::MemorySource source(stream);
  kyv::VectorSink sink((mode & 4) ? scale : std::size_t{8} << 20);
  kyv::codec::InflateOptions options;
  options.deflate64 = (mode & 1) != 0;
  if (mode & 2)
    options.onWindowMove = [] { return true; };
  if (mode & 8)
    options.outputLimit = scale;
  kyv::codec::Inflater inflater(source, options);
  const InflateStatus status = inflater.run(sink);
  const auto written = static_cast<std::uint64_t>(sink.bytes().size());
  // The sink refuses a write only once the output outgrows its budget; until then every byte
  // decoded must have been written, whatever ended decoding.
  const bool refused = (mode & 4) != 0 && inflater.produced() > scale;
  if (!refused && written != inflater.produced())
    std::abort();
  if (refused && written > scale)
    std::abort();
  if (status == InflateStatus::LimitReached && written != options.outputLimit)
    std::abort();
  if (options.outputLimit != 0 && written > options.outputLimit)
    std::abort();
  if (status == InflateStatus::Ok && inflater.unusedInput() > source.position())
    std::abort();
  return 0;
}
