// Two-level Huffman decode tables built from code lengths, shared by the Deflate decoder and any
// other canonical-Huffman decoder (LSB-first or MSB-first bit order).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::archive {

// A table entry, 32 bits:
//
//   31                16 15 14 13 12 11    8 7   5 4       0
//  +--------------------+--+--+--+--+-------+-----+---------+
//  |      payload       |S |I |B |A | clen  |  0  | consume |
//  +--------------------+--+--+--+--+-------+-----+---------+
//
//  payload  the caller's value for the symbol (literal, base value...); for S, the subtable start
//  S        the root entry points to a subtable; clen then holds the subtable's index bits
//  I        no code word leads here (the code is incomplete)
//  A, B     flags of the caller, copied from its symbol entry
//  clen     code word length (in a subtable: the bits after the root bits)
//  consume  bits to drop: clen plus the symbol's extra bits (for S: the root bits)
//
// The caller describes each symbol as payload << 16 | flags | extra-bit count (bits 0-4); the
// extra bits follow the code word, so (bits & mask(consume)) >> clen is their value.
inline constexpr std::uint32_t kHuffSubtable = 1u << 15;
inline constexpr std::uint32_t kHuffInvalid = 1u << 14;
inline constexpr std::uint32_t kHuffFlagB = 1u << 13;
inline constexpr std::uint32_t kHuffFlagA = 1u << 12;
inline constexpr unsigned kHuffMaxCodeLength = 15;
inline constexpr unsigned kHuffMaxRootBits = 12;

inline constexpr unsigned huffConsume(std::uint32_t entry) { return entry & 0x1F; }
inline constexpr unsigned huffCodeLength(std::uint32_t entry) { return (entry >> 8) & 0x0F; }
inline constexpr std::uint32_t huffPayload(std::uint32_t entry) { return entry >> 16; }

// Entries a table may need. Every subtable holds at least one code word whose length sets the
// subtable's size, so the subtables together need at most (symbols longer than the root) times
// 2^(maxLen - rootBits) entries, complete or incomplete code alike.
constexpr std::size_t huffTableCapacity(std::size_t symbols, unsigned rootBits, unsigned maxLen) {
  return (std::size_t{1} << rootBits) +
         (maxLen > rootBits ? symbols << (maxLen - rootBits) : 0);
}

enum class BitOrder {
  LsbFirst, // code words arrive bit-reversed (Deflate)
  MsbFirst, // code words arrive most significant bit first (LZX)
};

enum class [[nodiscard]] HuffBuild {
  Ok,
  OverSubscribed, // more code words than the code space holds
  BadLength,      // a length above maxLen
  TooLarge,       // the table span is smaller than huffTableCapacity
};

// Builds the table for lengths[s] (0 = unused symbol). Incomplete codes are accepted: the code
// words that no symbol has decode to entries with kHuffInvalid, which the decoder refuses when it
// meets one. symbolEntries has one entry per length.
HuffBuild buildHuffmanTable(std::span<const std::uint8_t> lengths,
                            std::span<const std::uint32_t> symbolEntries, unsigned rootBits,
                            unsigned maxLen, std::span<std::uint32_t> table, BitOrder order);

} // namespace kyv::archive
