#include "codec/text_filters.h"

#include "base/text.h"

namespace kyv::codec {

void AsciiHexDecoder::consume(std::span<const std::uint8_t> data) {
  for (const std::uint8_t c : data) {
    if (isPdfBlank(c))
      continue;
    if (c == '>') {
      end();
      markEnd();
      return;
    }
    const int v = HexDigitValue(c);
    if (v < 0) {
      fail();
      return;
    }
    if (high_ < 0) {
      high_ = v;
    } else {
      put(static_cast<std::uint8_t>(high_ << 4 | v));
      high_ = -1;
    }
  }
}

void AsciiHexDecoder::end() {
  if (high_ >= 0)
    put(static_cast<std::uint8_t>(high_ << 4));
  high_ = -1;
}

void Ascii85Decoder::consume(std::span<const std::uint8_t> data) {
  for (const std::uint8_t c : data) {
    if (tilde_) {
      // "~>" ends the data; a '~' followed by anything else is no encoding.
      if (c == '>') {
        end();
        markEnd();
      } else {
        fail();
      }
      return;
    }
    if (isPdfBlank(c))
      continue;
    if (c == '~') {
      tilde_ = true;
      continue;
    }
    if (c == 'z' && count_ == 0) {
      for (int i = 0; i < 4; ++i)
        put(0);
      continue;
    }
    if (c < '!' || c > 'u') {
      fail();
      return;
    }
    const std::uint64_t next = std::uint64_t{value_} * 85 + (c - '!');
    if (next > UINT32_MAX) { // "s8W-\"" is the largest group
      fail();
      return;
    }
    value_ = static_cast<std::uint32_t>(next);
    if (++count_ == 5) {
      for (int shift = 24; shift >= 0; shift -= 8)
        put(static_cast<std::uint8_t>(value_ >> shift));
      value_ = 0;
      count_ = 0;
    }
  }
}

void Ascii85Decoder::end() {
  if (count_ == 0)
    return;
  if (count_ == 1) {
    fail();
    return;
  }
  // The missing characters count as 'u', the highest digit, so that the bytes kept round right.
  std::uint64_t v = value_;
  for (int i = count_; i < 5; ++i)
    v = v * 85 + 84;
  if (v > UINT32_MAX) {
    fail();
    return;
  }
  for (int i = 0; i < count_ - 1; ++i)
    put(static_cast<std::uint8_t>(v >> (24 - 8 * i)));
  count_ = 0;
  value_ = 0;
}

} // namespace kyv::codec
