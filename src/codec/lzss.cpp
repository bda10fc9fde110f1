#include "codec/lzss.h"

namespace kyv::codec {

namespace {
constexpr std::size_t kStart = LzssDecoder::kWindow - 16;
constexpr std::size_t kMask = LzssDecoder::kWindow - 1;
constexpr unsigned kMinMatch = 3;
} // namespace

void LzssDecoder::prepare() {
  ring_.reset(kWindow, ' ');
  flags_ = 0;
}

LzssStatus LzssDecoder::decode(InputBuffer& in, std::size_t want) {
  while (ring_.pending() < want && ring_.room() >= LzRing::kMaxStep) {
    if (flags_ <= 1) {
      flags_ = in.byteOrPad() | 0x100u;
      if (in.overread != 0)
        return LzssStatus::InputEnded;
    }
    const bool literal = (flags_ & 1) != 0;
    flags_ >>= 1;
    if (literal) {
      const std::uint8_t byte = in.byteOrPad();
      if (in.overread != 0)
        return LzssStatus::InputEnded;
      ring_.put(byte);
      continue;
    }
    const unsigned lo = in.byteOrPad();
    const unsigned hi = in.byteOrPad();
    if (in.overread != 0)
      return LzssStatus::InputEnded;
    // The match names a window position; the one being written is taken for the byte there
    // 4096 back, since the copy reads each byte before it writes it.
    const std::size_t from = lo | ((hi & 0xF0u) << 4);
    const std::size_t at = (kStart + ring_.total()) & kMask;
    ring_.copy(((at - from - 1) & kMask) + 1, (hi & 0x0Fu) + kMinMatch);
  }
  return LzssStatus::Ok;
}

LzssStatus LzssDecoder::expand(InputBuffer& in, std::span<std::byte> output,
                               std::size_t* produced) {
  return ring_.fill<LzssStatus>(output, produced,
                                [&](std::size_t want) { return decode(in, want); });
}

} // namespace kyv::codec
