// Two-level Huffman decode tables built from code lengths: the one builder of every
// canonical-Huffman decoder (Deflate and Deflate64, the imploded ZIP method, LZX, RAR, bzip2), in
// either bit order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::codec {

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
//  clen     code word length (in a subtable: the bits after the root bits). Four bits are enough:
//           a root entry's length is at most the root bits (<= 12), and the builder takes no
//           code whose length passes the root bits by more than 15.
//  consume  bits to drop: clen plus the symbol's extra bits (for S: the root bits)
//
// The caller describes each symbol as payload << 16 | flags | extra-bit count (bits 0-4); the
// extra bits follow the code word, so (bits & mask(consume)) >> clen is their value.
inline constexpr std::uint32_t kHuffSubtable = 1u << 15;
inline constexpr std::uint32_t kHuffInvalid = 1u << 14;
inline constexpr std::uint32_t kHuffFlagB = 1u << 13;
inline constexpr std::uint32_t kHuffFlagA = 1u << 12;
// The longest code word of the LZ formats (Deflate, LZX, RAR, the imploded method).
inline constexpr unsigned kHuffMaxCodeLength = 16;
// The longest the builder takes: bzip2's code words reach 20 bits.
inline constexpr unsigned kHuffMaxBuildLength = 20;
inline constexpr unsigned kHuffMaxRootBits = 12;
// A subtable's index bits (maxLen - rootBits) must fit the 4-bit length field.
inline constexpr unsigned kHuffMaxSubtableBits = 15;

inline constexpr unsigned huffConsume(std::uint32_t entry) { return entry & 0x1F; }
inline constexpr unsigned huffCodeLength(std::uint32_t entry) { return (entry >> 8) & 0x0F; }
inline constexpr std::uint32_t huffPayload(std::uint32_t entry) { return entry >> 16; }

// Entries a table may need. A subtable hangs off one root entry and holds 2^k entries, where
// rootBits + k is the length of the longest code word with that root prefix (k <= R, where
// R = maxLen - rootBits). So there are at most min(symbols, 2^rootBits) subtables of at most 2^R
// entries each. Tighter: canonical code words fill the code space from its start without gaps,
// and a code word of rootBits bits or fewer covers whole root prefixes, so every prefix holding
// long code words but the last is covered by them completely, and covering a prefix completely
// with a word k bits below the root takes at least k + 1 words. With S symbols that allows at
// most (S - 1) / (R + 1) full subtables of 2^R entries, one more for the last prefix, and 2^k
// more for k + 1 symbols left over; complete or incomplete code alike. (Still loose: the builder
// fills only what the code needs, so the slack costs address space, not time.)
constexpr std::size_t huffTableCapacity(std::size_t symbols, unsigned rootBits, unsigned maxLen) {
  const std::size_t root = std::size_t{1} << rootBits;
  if (maxLen <= rootBits || symbols == 0)
    return root;
  const unsigned r = maxLen - rootBits;
  const std::size_t subtables = symbols < root ? symbols : root;
  const std::size_t loose = subtables << r;
  const std::size_t full = (symbols - 1) / (r + 1);
  const std::size_t rest = (symbols - 1) % (r + 1);
  const std::size_t tight = ((full + 1) << r) + (rest >= 2 ? std::size_t{1} << (rest - 1) : 0);
  return root + (tight < loose ? tight : loose);
}

enum class BitOrder {
  LsbFirst, // code words arrive bit-reversed (Deflate)
  MsbFirst, // code words arrive most significant bit first (LZX)
};

// What a format makes of a code that leaves part of the code space unused. Deflate and RAR
// encoders write such codes (a single distance code, tables of a few symbols); LZX and the
// imploded method only ever write complete ones, so anything else there is damage.
enum class Incomplete {
  Allowed, // the unused code words decode to entries with kHuffInvalid
  Refused, // HuffBuild::Incomplete, unless no symbol is used at all (an empty, all-invalid table)
};

enum class [[nodiscard]] HuffBuild{
    Ok,
    OverSubscribed, // more code words than the code space holds
    Incomplete,     // code space left over, where the caller refuses that
    BadLength,      // a length above maxLen
    TooLarge,       // the table span is smaller than huffTableCapacity
};

// Builds the table for lengths[s] (0 = unused symbol); symbolEntries has one entry per length.
// rootBits from 1 to kHuffMaxRootBits, maxLen from rootBits to kHuffMaxBuildLength and at most
// rootBits + kHuffMaxSubtableBits.
HuffBuild buildHuffmanTable(std::span<const std::uint8_t> lengths,
                            std::span<const std::uint32_t> symbolEntries, unsigned rootBits,
                            unsigned maxLen, std::span<std::uint32_t> table, BitOrder order,
                            Incomplete incomplete = Incomplete::Allowed);

// Symbol entries that carry just the symbol number (no extra bits, no flags), for the decoders
// that interpret symbols themselves.
inline constexpr std::size_t kHuffPlainSymbols = 1024;
std::span<const std::uint32_t> plainSymbolEntries(std::size_t count);

// Decodes one symbol from an MSB-first input (codec/bit_input.h) through a table built in
// MsbFirst order, dropping its code word. The input must hold at least maxLen bits. Returns the
// entry: huffPayload() is the symbol, kHuffInvalid marks a code word no symbol has.
template <class In>
inline std::uint32_t decodeMsbFirst(In& in, const std::uint32_t* table, unsigned rootBits) {
  std::uint32_t e = table[in.peek(rootBits)];
  if (e & kHuffSubtable) {
    in.drop(rootBits);
    e = table[huffPayload(e) + in.peek(huffCodeLength(e))];
  }
  in.drop(huffCodeLength(e));
  return e;
}

} // namespace kyv::codec
