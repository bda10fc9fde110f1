// bzip2 decoder on arbitrary bytes. The first byte picks the size of the output buffers (1 to
// about 64 KiB) and whether the input comes from a source or from memory; the rest is the
// stream. Output is capped so a small input that expands hugely stays quick. Each buffer is its
// exact size, so any write past it is caught; the decoder's count of output must match what the
// calls reported.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "codec/bzip2.h"

using kyv::codec::Bzip2Status;

namespace {
// Enough for several full blocks; small buffers get fewer calls, so each input stays quick.
constexpr std::uint64_t kMaxOutput = 4u << 20;
constexpr std::uint64_t kMaxCalls = 4096;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t mode = data[0];
  std::vector<std::byte> input(size - 1);
  if (!input.empty())
    std::memcpy(input.data(), data + 1, input.size());
  kyv::MemorySource source(input);
  auto decoder = (mode & 1) ? std::make_unique<kyv::codec::Bzip2Decoder>(source)
                            : std::make_unique<kyv::codec::Bzip2Decoder>(input);
  const std::size_t chunk = 1 + static_cast<std::size_t>(mode >> 1) * 517;
  std::vector<std::byte> out(chunk);
  std::uint64_t total = 0;
  for (std::uint64_t calls = 0; total < kMaxOutput && calls < kMaxCalls; ++calls) {
    std::size_t n = 0;
    const Bzip2Status s = decoder->read(out, n);
    if (n > out.size())
      std::abort();
    total += n;
    if (s == Bzip2Status::Ok && n != out.size())
      std::abort();
    if (!kyv::codec::bzip2Recoverable(s))
      break;
  }
  if (decoder->produced() != total || decoder->consumed() > input.size())
    std::abort();
  return 0;
}
