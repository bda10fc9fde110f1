// The two text encodings of binary data that documents use for streams: hexadecimal digits and
// base-85 groups (four bytes as five characters from '!' to 'u', 'z' for four zero bytes). White
// space is ignored in both; '>' and "~>" end them.
#pragma once

#include "codec/push_filter.h"

namespace kyv::codec {

// White space in document syntax, which both encodings skip: the five usual characters and NUL.
constexpr bool isPdfBlank(std::uint8_t c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0;
}

class AsciiHexDecoder final : public PushFilter {
public:
  using PushFilter::PushFilter;

private:
  void consume(std::span<const std::uint8_t> data) override;
  // An odd last digit counts as followed by 0.
  void end() override;

  int high_ = -1; // the first digit of a pair, when one is pending
};

class Ascii85Decoder final : public PushFilter {
public:
  using PushFilter::PushFilter;

private:
  void consume(std::span<const std::uint8_t> data) override;
  // A last group of n characters (2 to 4) gives n - 1 bytes; one lone character is damage.
  void end() override;

  std::uint32_t value_ = 0;
  int count_ = 0;
  bool tilde_ = false;
};

} // namespace kyv::codec
