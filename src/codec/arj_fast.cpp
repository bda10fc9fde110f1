#include "codec/arj_fast.h"

namespace kyv::codec {

namespace {

// Bits one step may take: a length of 7 + 7 bits and a distance of 4 + 13, or 1 + 8 for a
// literal.
constexpr unsigned kStepBits = 14 + 17;

// A value in the method's variable-width code: a unary prefix of up to (last - first) 1 bits
// picks the width, then that many bits follow, on top of the ranges the prefix skipped.
inline std::uint32_t readCoded(ArjFastInput& in, unsigned first, unsigned last) {
  std::uint32_t base = 0;
  unsigned width = first;
  while (width < last && in.get(1) == 1) {
    base += 1u << width;
    ++width;
  }
  return base + in.get(width);
}

} // namespace

void ArjFastDecoder::prepare() { ring_.reset(kWindow, 0); }

ArjFastStatus ArjFastDecoder::decode(ArjFastInput& in, std::size_t want) {
  while (ring_.pending() < want && ring_.room() >= LzRing::kMaxStep) {
    if (in.count < kStepBits)
      in.refill();
    const std::uint32_t length = readCoded(in, 0, 7);
    if (length == 0) {
      const std::uint32_t literal = in.get(8);
      if (in.overread != 0 && in.overrun())
        return ArjFastStatus::InputEnded;
      ring_.put(static_cast<std::uint8_t>(literal));
      continue;
    }
    const std::size_t distance = readCoded(in, 9, 13) + 1;
    if (in.overread != 0 && in.overrun())
      return ArjFastStatus::InputEnded;
    // At most 15 872 back: always inside the window, whose bytes before the start are zeros.
    ring_.copy(distance, length + 2);
  }
  return ArjFastStatus::Ok;
}

ArjFastStatus ArjFastDecoder::expand(ArjFastInput& in, std::span<std::byte> output,
                                     std::size_t* produced) {
  return ring_.fill<ArjFastStatus>(output, produced,
                                   [&](std::size_t want) { return decode(in, want); });
}

} // namespace kyv::codec
