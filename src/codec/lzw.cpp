#include "codec/lzw.h"

#include <array>
#include <memory>
#include <vector>

#include "codec/bit_input.h"

namespace kyv::codec {

namespace {

constexpr unsigned kClear = 256;
constexpr unsigned kEnd = 257;
constexpr unsigned kFirstFree = 258;
constexpr unsigned kTableSize = 4096; // 12-bit codes
constexpr std::size_t kOutputPiece = 32 * 1024;

class Decoder {
public:
  Decoder(ByteSource& in, ByteSink& out, bool early) : in_(in), out_(out), early_(early) {
    for (unsigned c = 0; c < 256; ++c) {
      suffix_[c] = static_cast<std::uint8_t>(c);
      first_[c] = static_cast<std::uint8_t>(c);
      length_[c] = 1;
    }
    buffer_.reserve(kOutputPiece + kTableSize);
    reset();
  }

  LzwStatus run() {
    for (;;) {
      const unsigned code = in_.get(width_);
      // The input ran out: an encoder that ends without the end code ends here.
      if (in_.overrun())
        return flush() ? LzwStatus::Ok : LzwStatus::WriteRefused;
      if (code == kEnd)
        return flush() ? LzwStatus::Ok : LzwStatus::WriteRefused;
      if (code == kClear) {
        reset();
        continue;
      }
      if (code > next_ || (code == next_ && previous_ < 0)) {
        (void)flush();
        return LzwStatus::BadCode;
      }
      const bool known = code < next_;
      const std::uint8_t head = known ? first_[code] : first_[static_cast<unsigned>(previous_)];
      if (previous_ >= 0 && next_ < kTableSize)
        add(static_cast<unsigned>(previous_), head);
      emit(code);
      previous_ = static_cast<int>(code);
      if (buffer_.size() >= kOutputPiece && !flush())
        return LzwStatus::WriteRefused;
    }
  }

private:
  void reset() {
    next_ = kFirstFree;
    width_ = 9;
    previous_ = -1;
  }

  void add(unsigned prefix, std::uint8_t last) {
    prefix_[next_] = static_cast<std::uint16_t>(prefix);
    suffix_[next_] = last;
    first_[next_] = first_[prefix];
    length_[next_] = static_cast<std::uint16_t>(length_[prefix] + 1);
    ++next_;
    const unsigned limit = next_ + (early_ ? 1u : 0u);
    if (width_ < 12 && limit >= (1u << width_))
      ++width_;
  }

  // The string of a code, written backwards from its last byte (at most 4096 bytes long: each
  // entry adds one byte to an older one).
  void emit(unsigned code) {
    const std::size_t at = buffer_.size();
    buffer_.resize(at + length_[code]);
    for (std::size_t i = at + length_[code]; i > at; code = prefix_[code])
      buffer_[--i] = static_cast<std::byte>(suffix_[code]);
  }

  bool flush() {
    const bool ok = buffer_.empty() || out_.write(buffer_);
    buffer_.clear();
    return ok;
  }

  MsbBitInput<1> in_;
  ByteSink& out_;
  bool early_;
  unsigned next_ = kFirstFree;
  unsigned width_ = 9;
  int previous_ = -1;
  std::array<std::uint16_t, kTableSize> prefix_{};
  std::array<std::uint8_t, kTableSize> suffix_{};
  std::array<std::uint8_t, kTableSize> first_{};
  std::array<std::uint16_t, kTableSize> length_{};
  std::vector<std::byte> buffer_;
};

} // namespace

LzwStatus lzwDecode(ByteSource& in, ByteSink& out, bool earlyChange) {
  auto decoder = std::make_unique<Decoder>(in, out, earlyChange);
  return decoder->run();
}

} // namespace kyv::codec
