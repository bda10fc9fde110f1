// Bit input for every decoder: a byte buffer over a source (or over bytes already in memory) and
// the two bit orders read from it.
//
//   LsbBitInput        least significant bit first (Deflate, the legacy ZIP methods)
//   MsbBitInput<1>     most significant bit first, byte by byte (RAR)
//   MsbBitInput<2>     most significant bit first, in 16-bit little-endian words (LZX)
//
// Contract of the state (the hot loops may copy it into locals and back):
//   next, end   the unread part of the input buffer
//   bits        the bit buffer: its `count` valid bits are the next input bits, at the low end
//               (LSB first) or at the top (MSB first). The bits beyond `count` may hold copies of
//               the bytes at `next`, left by a whole-word refill; they are the same bytes at the
//               same places, so OR-ing them in again is harmless, and no read looks at them.
//   count       valid bits in `bits`, at most 63
//   overread    zero bytes appended after the real end of input.
//
// The end-of-input rule, the same for every decoder: past the end a refill appends zero bytes and
// counts them, so a look-ahead near the end of a valid stream is harmless; consuming any of those
// zeros (paddingUsed()) means the data ran out.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "base/byte_io.h"

namespace kyv::codec {

static_assert(std::endian::native == std::endian::little, "the word loads are little-endian");

inline std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

class InputBuffer {
public:
  // The input is read 16 KiB at a time.
  static constexpr std::size_t kChunk = 16384;
  // A fast loop may run one more symbol while at least this many bytes are buffered: it refills
  // at most three times per symbol, each refill reading 8 bytes and advancing at most 7.
  static constexpr std::size_t kFastMargin = 40;
  // Bytes kept before `next` when the buffer moves, so that the whole bytes still in a bit buffer
  // (at most 7) can be given back with unread().
  static constexpr std::size_t kHistory = 8;

  // At most `limit` bytes from the source's current position.
  explicit InputBuffer(ByteSource& source, std::uint64_t limit = UINT64_MAX)
      : source_(&source), left_(limit), buffer_(kHistory + kChunk + kFastMargin),
        next(buffer_.data() + kHistory), end(next), start_(next) {}
  // Bytes already in memory, read in place; they must outlive the input.
  explicit InputBuffer(std::span<const std::byte> bytes)
      : left_(0), eof_(true), next(reinterpret_cast<const std::uint8_t*>(bytes.data())),
        end(next + bytes.size()), start_(next) {}
  // The pointers point into the object's own buffer.
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;

  std::size_t available() const { return static_cast<std::size_t>(end - next); }
  // Nothing more will come: [next, end) is the rest of the input.
  bool atEnd() const { return eof_; }

  // Moves the unread bytes (and a little history) to the front and reads one more chunk; at the
  // source's end sets atEnd(). Keeps the bit-buffer contract, since the bytes keep their order.
  void fillBuffer() {
    if (source_ == nullptr || left_ == 0) {
      eof_ = true;
      return;
    }
    const std::size_t history =
        std::min<std::size_t>(kHistory, static_cast<std::size_t>(next - start_));
    const std::size_t keep = available();
    base_ += static_cast<std::uint64_t>(next - history - start_);
    std::memmove(buffer_.data(), next - history, history + keep);
    start_ = buffer_.data();
    next = start_ + history;
    end = next + keep;
    const std::size_t room = buffer_.size() - history - keep;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(room, left_));
    const std::size_t n =
        want == 0 ? 0
                  : source_->read(std::span<std::byte>(
                        reinterpret_cast<std::byte*>(buffer_.data() + history + keep), want));
    if (n == 0) {
      eof_ = true; // the source ended early: what follows reads as padding and is counted
      left_ = 0;
    }
    left_ -= n;
    end += n;
  }

  // The next byte, or a counted zero past the end of input.
  std::uint8_t byteOrPad() {
    if (next == end && !eof_)
      fillBuffer();
    if (next != end)
      return *next++;
    ++overread;
    return 0;
  }

  // Bytes taken from the input so far (padding not included).
  std::uint64_t consumed() const { return base_ + static_cast<std::uint64_t>(next - start_); }

  // Gives back n (at most kHistory) bytes taken but not used.
  void unread(std::size_t n) { next -= n; }

  bool paddingUsed(unsigned heldBits) const { return overread * 8 > heldBits; }

private:
  ByteSource* source_ = nullptr;
  std::uint64_t left_;
  std::vector<std::uint8_t> buffer_;
  bool eof_ = false;
  std::uint64_t base_ = 0; // input offset of start_

public:
  const std::uint8_t* next;
  const std::uint8_t* end;
  unsigned overread = 0;

private:
  const std::uint8_t* start_;
};

class LsbBitInput : public InputBuffer {
public:
  using InputBuffer::InputBuffer;

  // Adds one byte to the bit buffer: from the buffer, from the source, or a zero past the end.
  void pullByte() {
    bits |= std::uint64_t{byteOrPad()} << count;
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
    return !paddingUsed(count);
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

  std::uint64_t bits = 0;
  unsigned count = 0;
};

// Whole-word refill of an LSB-first bit buffer: at least 56 valid bits afterwards. Needs 8
// readable bytes at in.
inline void refillWord(const std::uint8_t*& in, std::uint64_t& bits, unsigned& count) {
  bits |= loadWord(in) << count;
  in += (63 - count) >> 3;
  count |= 56;
}

// Most significant bit first, in units of kUnit bytes: 1 (plain bytes) or 2 (16-bit
// little-endian words). A unit cut short by the end of input is completed with zeros.
template <unsigned kUnit> class MsbBitInput : public InputBuffer {
  static_assert(kUnit == 1 || kUnit == 2);

public:
  // Bits held after refill(): 56 for bytes, 48 for words.
  static constexpr unsigned kRefillBits = 64 - 8 * kUnit;
  // Padding bytes a refill may add before the input counts as exhausted (see onExhausted).
  static constexpr unsigned kMaxOverread = 64;

  using InputBuffer::InputBuffer;

  // Tops the bit buffer up to at least kRefillBits bits.
  void refill() {
    if (available() >= 8) {
      std::uint64_t v = __builtin_bswap64(loadWord(next)); // first byte on top
      if constexpr (kUnit == 2)
        v = ((v & 0xFF00FF00FF00FF00ull) >> 8) | ((v & 0x00FF00FF00FF00FFull) << 8);
      bits |= v >> count;
      const unsigned take = (63 - count) / (8 * kUnit);
      next += take * kUnit;
      count += take * 8 * kUnit;
      return;
    }
    while (count < kRefillBits) {
      std::uint64_t unit = byteOrPad();
      if constexpr (kUnit == 2)
        unit |= std::uint64_t{byteOrPad()} << 8;
      bits |= unit << (kRefillBits - count);
      count += 8 * kUnit;
    }
    if (overread > kMaxOverread && onExhausted != nullptr)
      onExhausted();
  }

  // n from 1 to 32, at most count.
  std::uint32_t peek(unsigned n) const { return static_cast<std::uint32_t>(bits >> (64 - n)); }
  void drop(unsigned n) {
    bits <<= n;
    count -= n;
  }
  // n from 0 to 32, refilling as needed.
  std::uint32_t get(unsigned n) {
    if (n == 0)
      return 0;
    if (count < n)
      refill();
    const std::uint32_t v = peek(n);
    drop(n);
    return v;
  }

  // Bits consumed since the start of the input, padding included.
  std::uint64_t bitPosition() const { return (consumed() + overread) * 8 - count; }
  // Consumed bits past the real end of input.
  bool overrun() const { return paddingUsed(count); }

  // Drops the rest of a partly read unit of `bits` (8 or 16) bits.
  void align(unsigned unitBits) { drop(count % unitBits); }

  // Leaves the bit stream for whole bytes taken from `next`: gives back the whole bytes still
  // held. The caller has aligned to a byte.
  void enterBytes() {
    const unsigned whole = count / 8;
    const unsigned real = whole > overread ? whole - overread : 0;
    overread -= whole - real;
    unread(real);
    bits = 0;
    count = 0;
  }

  // Called (if set) once more than kMaxOverread padding bytes were needed: a valid stream never
  // looks that far past its end, so the owner may stop decoding there (by throwing).
  void (*onExhausted)() = nullptr;

  std::uint64_t bits = 0;
  unsigned count = 0;
};

} // namespace kyv::codec
