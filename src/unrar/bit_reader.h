// MSB-first bit reader over a member's packed bytes, the bit order of every RAR method.
//
// Contract: `bits_` holds `count_` valid bits left-aligned (the next bit is bit 63). refill() tops
// it up to at least 57 bits, pulling bytes from a 64 KiB buffer filled from the source. Past the
// end of the packed data it feeds zero bytes and counts them in `overread_`; a valid stream
// never needs more than a few, so more than kMaxOverread ends decoding as truncated data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/byte_io.h"
#include "unrar/rar_error.h"

namespace kyv::unrar {

class BitReader {
public:
  // Reads at most `length` bytes from the source's current position.
  BitReader(ByteSource& source, std::uint64_t length);

  std::uint32_t peek(unsigned n) { // n <= 32
    if (count_ < n)
      refill();
    return n == 0 ? 0 : static_cast<std::uint32_t>(bits_ >> (64 - n));
  }
  void skip(unsigned n) {
    bits_ <<= n;
    count_ -= n;
  }
  std::uint32_t get(unsigned n) {
    const std::uint32_t v = peek(n);
    skip(n);
    return v;
  }
  // peek(16) with the refill done: the window Huffman decoding looks at.
  std::uint32_t peek16() {
    if (count_ < 16)
      refill();
    return static_cast<std::uint32_t>(bits_ >> 48);
  }
  void alignToByte() { skip(count_ % 8); }
  // Bits consumed since the start of the packed data.
  std::uint64_t bitPosition() const { return pulled_ * 8 - count_; }
  // True once everything up to the end of the packed data has been consumed.
  bool atEnd() const { return bitPosition() >= length_ * 8; }
  bool overrun() const { return bitPosition() > length_ * 8; }
  std::uint64_t length() const { return length_; }

private:
  static constexpr std::uint32_t kMaxOverread = 64;
  void refill();
  bool fillBuffer();

  ByteSource& source_;
  std::uint64_t length_;
  std::uint64_t left_; // bytes not yet pulled from the source
  std::vector<std::uint8_t> buffer_;
  std::size_t bufPos_ = 0;
  std::size_t bufLen_ = 0;
  std::uint64_t bits_ = 0;
  unsigned count_ = 0;
  std::uint64_t pulled_ = 0; // bytes moved into bits_, zero padding included
  std::uint32_t overread_ = 0;
};

} // namespace kyv::unrar
