// Canonical Huffman decoding for every RAR method: codes assigned in order of length, then
// symbol, at most 15 bits long, built by the codec's table builder. Incomplete codes are accepted
// (RAR encoders write them); an over-subscribed set of lengths is refused, and hitting an
// unassigned code is a data error.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/huffman_table.h"
#include "unrar/bit_reader.h"

namespace kyv::unrar {

class Huffman {
public:
  static constexpr unsigned kMaxLength = 15;
  static constexpr unsigned kRootBits = 10;

  // Until built, every code word is unassigned.
  Huffman() : table_(std::size_t{1} << kRootBits, codec::kHuffInvalid) {}

  // Builds from one length (0..15) per symbol; throws on an over-subscribed set.
  void build(std::span<const std::uint8_t> lengths);

  std::uint32_t decode(BitReader& in) const {
    if (in.count < kMaxLength)
      in.refill();
    const std::uint32_t e =
        codec::decodeMsbFirst(static_cast<codec::MsbBitInput<1>&>(in), table_.data(), kRootBits);
    if (e & codec::kHuffInvalid)
      dataError("bits match no Huffman code");
    return codec::huffPayload(e);
  }

private:
  std::vector<std::uint32_t> table_;
};

} // namespace kyv::unrar
