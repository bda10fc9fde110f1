// The VBA-project decompressor over arbitrary bytes, fed in two pieces split where the first
// byte says, so chunk headers and bodies arrive cut at every place. Besides memory errors it
// checks the one bound the format gives: a chunk of at most 4098 bytes decodes to at most 4096.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <span>

#include "codec/ovba.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kMaxInput)
    return 0;
  const std::size_t split = data[0] % size;
  const std::span<const std::byte> in(reinterpret_cast<const std::byte*>(data) + 1, size - 1);
  kyv::NullSink sink;
  kyv::codec::OvbaDecoder decoder(sink);
  if (decoder.write(in.first(std::min(split, in.size()))))
    (void)decoder.write(in.subspan(std::min(split, in.size())));
  (void)decoder.finish();
  // Every chunk takes at least 3 input bytes (header and a flag byte) for its up to 4096.
  if (sink.count() > (in.size() / 3 + 1) * kyv::codec::kOvbaChunkSize)
    std::abort();
  return 0;
}
