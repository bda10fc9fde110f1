#include "codec/bcj2.h"

namespace kyv::codec {

namespace {

constexpr unsigned kProbBits = 11;
constexpr std::uint16_t kProbInit = 1u << (kProbBits - 1);
constexpr unsigned kMoveBits = 5;
constexpr std::uint32_t kTop = 1u << 24;
constexpr std::size_t kOutChunk = 1u << 16;

// The opcodes whose operand the encoder may have taken out: CALL, JMP and the two-byte Jcc
// (0F 80..8F).
bool isBranch(std::uint8_t prev, std::uint8_t b) {
  return (b & 0xFE) == 0xE8 || (prev == 0x0F && (b & 0xF0) == 0x80);
}

} // namespace

Bcj2Decoder::Bcj2Decoder(ByteSource& call, ByteSource& jump, ByteSource& range)
    : call_(call), jump_(jump), range_(range) {
  probs_.fill(kProbInit);
  out_.reserve(kOutChunk + 8);
}

bool Bcj2Decoder::Side::next(std::uint8_t& b) {
  if (at_ == end_) {
    end_ = source_.read(buf_);
    at_ = 0;
    if (end_ == 0)
      return false;
  }
  b = std::to_integer<std::uint8_t>(buf_[at_++]);
  return true;
}

bool Bcj2Decoder::target(Side& side, std::uint32_t& value) {
  value = 0;
  for (int k = 0; k < 4; ++k) {
    std::uint8_t b = 0;
    if (!side.next(b))
      return false;
    value = (value << 8) | b;
  }
  return true;
}

bool Bcj2Decoder::startRange() {
  // Five bytes: the encoder's carry byte (zero) and the four bytes of the first code.
  for (int k = 0; k < 5; ++k) {
    std::uint8_t b = 0;
    if (!range_.next(b))
      return false;
    code_ = (code_ << 8) | b;
  }
  started_ = true;
  return true;
}

bool Bcj2Decoder::bit(std::uint16_t& prob, bool& value) {
  const std::uint32_t bound = (rangeWidth_ >> kProbBits) * prob;
  if (code_ < bound) {
    rangeWidth_ = bound;
    prob = static_cast<std::uint16_t>(prob + (((1u << kProbBits) - prob) >> kMoveBits));
    value = false;
  } else {
    rangeWidth_ -= bound;
    code_ -= bound;
    prob = static_cast<std::uint16_t>(prob - (prob >> kMoveBits));
    value = true;
  }
  if (rangeWidth_ < kTop) {
    std::uint8_t b = 0;
    if (!range_.next(b))
      return false;
    rangeWidth_ <<= 8;
    code_ = (code_ << 8) | b;
  }
  return true;
}

Bcj2Status Bcj2Decoder::flush(ByteSink& out) {
  if (out_.empty())
    return Bcj2Status::Ok;
  const bool ok = out.write(out_);
  out_.clear();
  return ok ? Bcj2Status::Ok : Bcj2Status::WriteRefused;
}

Bcj2Status Bcj2Decoder::decode(std::span<const std::byte> main, ByteSink& out) {
  for (const std::byte raw : main) {
    const auto b = std::to_integer<std::uint8_t>(raw);
    out_.push_back(raw);
    ++outPos_;
    if (!isBranch(prev_, b)) {
      prev_ = b;
    } else {
      if (!started_ && !startRange())
        return Bcj2Status::RangeEnded;
      std::uint16_t& prob = b == 0xE8 ? probs_[prev_] : probs_[b == 0xE9 ? 256 : 257];
      bool taken = false;
      if (!bit(prob, taken))
        return Bcj2Status::RangeEnded;
      if (!taken) {
        prev_ = b;
      } else {
        std::uint32_t absolute = 0;
        if (!target(b == 0xE8 ? call_ : jump_, absolute))
          return b == 0xE8 ? Bcj2Status::CallEnded : Bcj2Status::JumpEnded;
        const std::uint32_t relative = absolute - (outPos_ + 4);
        for (int k = 0; k < 4; ++k)
          out_.push_back(static_cast<std::byte>(relative >> (8 * k)));
        outPos_ += 4;
        prev_ = static_cast<std::uint8_t>(relative >> 24);
      }
    }
    if (out_.size() >= kOutChunk)
      if (const Bcj2Status s = flush(out); s != Bcj2Status::Ok)
        return s;
  }
  return Bcj2Status::Ok;
}

Bcj2Status Bcj2Decoder::finish(ByteSink& out) { return flush(out); }

} // namespace kyv::codec
