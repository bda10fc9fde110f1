// Canonical Huffman decoding for every RAR method: codes assigned in order of length, then
// symbol, at most 15 bits long. Incomplete codes are accepted (RAR encoders write them); an
// over-subscribed set of lengths is refused, and hitting an unassigned code is a data error.
//
// The quick table is indexed by the next kQuickBits bits; an entry is (symbol << 4) | length,
// length 0 meaning "longer than kQuickBits, search the per-length limits".
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "unrar/bit_reader.h"

namespace kyv::unrar {

class Huffman {
public:
  static constexpr unsigned kMaxLength = 15;
  static constexpr unsigned kQuickBits = 10;

  // Builds from one length (0..15) per symbol; throws on an over-subscribed set.
  void build(std::span<const std::uint8_t> lengths);
  bool empty() const { return symbols_.empty(); }

  std::uint32_t decode(BitReader& in) const {
    const std::uint32_t bits = in.peek16();
    const std::uint16_t e = quick_[bits >> (16 - kQuickBits)];
    if (e != 0) {
      in.skip(e & 15u);
      return e >> 4;
    }
    return decodeSlow(in, bits);
  }

private:
  std::uint32_t decodeSlow(BitReader& in, std::uint32_t bits) const;

  std::array<std::uint16_t, 1u << kQuickBits> quick_{};
  // Left-aligned 16-bit code values: codes of length l lie in [start_[l], limit_[l]).
  std::array<std::uint32_t, kMaxLength + 2> start_{};
  std::array<std::uint32_t, kMaxLength + 2> limit_{};
  std::array<std::uint32_t, kMaxLength + 2> first_{}; // index of the first symbol of length l
  std::vector<std::uint16_t> symbols_;                // symbols sorted by (length, symbol)
};

} // namespace kyv::unrar
