// The bit order of every RAR method, most significant bit first: the codec's reader over a
// member's packed bytes, or over a filter record already in memory, with a refilling peek.
// Past the end of the packed data it feeds zero bytes and counts them; a valid stream never needs
// more than a few, so more than kMaxOverread ends decoding as truncated data. A filter record
// pads with zeros as far as it is read, and its reader checks overrun() once at the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_io.h"
#include "codec/bit_input.h"
#include "unrar/rar_error.h"

namespace kyv::unrar {

class BitReader : public codec::MsbBitInput<1> {
public:
  // Reads at most `length` bytes from the source's current position.
  BitReader(ByteSource& source, std::uint64_t length)
      : MsbBitInput(source, length), length_(length) {
    onExhausted = [] { fail(ErrorKind::UnexpectedEnd, "packed data ends inside the stream"); };
  }
  // Reads bytes in place; they must outlive the reader.
  explicit BitReader(std::span<const std::uint8_t> bytes)
      : MsbBitInput(std::as_bytes(bytes)), length_(bytes.size()) {}

  std::uint32_t peek(unsigned n) { // n <= 32
    if (count < n)
      refill();
    return n == 0 ? 0 : MsbBitInput::peek(n);
  }
  // True once everything up to the end of the packed data has been consumed.
  bool consumedAll() const { return bitPosition() >= length_ * 8; }
  std::uint64_t length() const { return length_; }

private:
  std::uint64_t length_;
};

} // namespace kyv::unrar
