// Least-significant-bit-first bit input over a ByteSource, for Deflate-family decoders.
//
// Contract of the state (the hot loops copy it into locals and back):
//   next, end   the unread part of the input buffer
//   bits        the bit buffer; its low `count` bits are the next input bits. Bits above `count`
//               may hold copies of the bytes at `next` (left by a whole-word refill); since they
//               are the same bytes, OR-ing them in again is harmless, and they are masked off
//               whenever a field is read.
//   count       valid bits in `bits`, at most 63
//   overread    zero bytes appended after the real end of input. A look-ahead may pull them in;
//               consuming any of them (overread * 8 > count) means the data ran out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <vector>

#include "base/byte_io.h"

namespace kyv::archive {

class LsbBitInput {
public:
  // The input is read 16 KiB at a time.
  static constexpr std::size_t kChunk = 16384;
  // A fast loop may run one more symbol while at least this many bytes are buffered: it refills
  // at most three times per symbol, each refill reading 8 bytes and advancing at most 7.
  static constexpr std::size_t kFastMargin = 40;

  explicit LsbBitInput(ByteSource& source)
      : source_(source), buffer_(kChunk + kFastMargin), next(buffer_.data()),
        end(buffer_.data()) {}

  std::size_t available() const { return static_cast<std::size_t>(end - next); }
  bool atEnd() const { return eof_; }

  // Moves the unread bytes to the front and reads one more chunk; at the source's end sets
  // atEnd(). Keeps the bit-buffer contract, since the bytes keep their order.
  void fillBuffer() {
    const std::size_t keep = available();
    std::memmove(buffer_.data(), next, keep);
    next = buffer_.data();
    end = next + keep;
    const std::size_t room = buffer_.size() - keep;
    const std::size_t n = room == 0 ? 0
        : source_.read(std::span<std::byte>(reinterpret_cast<std::byte*>(buffer_.data() + keep), room));
    if (n == 0)
      eof_ = true;
    end += n;
  }

  // Adds one byte to the bit buffer: from the buffer, from the source, or a zero past the end.
  void pullByte() {
    if (next == end && !eof_)
      fillBuffer();
    std::uint64_t byte = 0;
    if (next != end)
      byte = *next++;
    else
      ++overread;
    bits |= byte << count;
    count += 8;
  }

  // At least n (<= 56) bits in the buffer, padded with zeros past the end of input.
  void need(unsigned n) {
    while (count < n)
      pullByte();
  }

  // Drops n bits; false when that used bits past the real end of input.
  [[nodiscard]] bool drop(unsigned n) {
    bits >>= n;
    count -= n;
    return overread * 8 <= count;
  }

  std::uint32_t peek(unsigned n) const {
    return static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << n) - 1));
  }

  // Drops the bits up to the next byte boundary.
  [[nodiscard]] bool alignToByte() { return drop(count & 7); }

  // Bytes that are still whole in the bit buffer and real (not padding).
  std::size_t bufferedBytes() const { return count / 8 - overread; }

  // After the bit buffer has been emptied by whole bytes, clears the copies above count so that
  // bytes can be taken straight from `next`.
  void resetBits() {
    bits = 0;
    count = 0;
    overread = 0;
  }

private:
  ByteSource& source_;
  std::vector<std::uint8_t> buffer_;
  bool eof_ = false;

public:
  const std::uint8_t* next;
  const std::uint8_t* end;
  std::uint64_t bits = 0;
  unsigned count = 0;
  unsigned overread = 0;
};

// Whole-word refill: at least 56 valid bits afterwards. Needs 8 readable bytes at in.
inline void refillWord(const std::uint8_t*& in, std::uint64_t& bits, unsigned& count) {
  std::uint64_t word;
  std::memcpy(&word, in, sizeof word);
  static_assert(std::endian::native == std::endian::little, "the word load is little-endian");
  bits |= word << count;
  in += (63 - count) >> 3;
  count |= 56;
}

} // namespace kyv::archive
