#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/bit_input.h"
#include "codec/huffman_table.h"

namespace kyv::codec {
namespace {

std::uint32_t reversed(std::uint32_t code, unsigned len) {
  std::uint32_t r = 0;
  for (unsigned i = 0; i < len; ++i)
    r = (r << 1) | ((code >> i) & 1);
  return r;
}

// Looks a code word (given most significant bit first) up the way a decoder of that bit order
// would; returns the entry reached and the bits it consumed.
std::pair<std::uint32_t, unsigned> lookUp(const std::vector<std::uint32_t>& table, unsigned root,
                                          BitOrder order, std::uint32_t code, unsigned len) {
  if (order == BitOrder::LsbFirst) {
    std::uint32_t bits = reversed(code, len);
    std::uint32_t e = table[bits & ((1u << root) - 1)];
    if (!(e & kHuffSubtable))
      return {e, huffCodeLength(e)};
    bits >>= root;
    const std::uint32_t sub = table[huffPayload(e) + (bits & ((1u << huffCodeLength(e)) - 1))];
    return {sub, root + huffCodeLength(sub)};
  }
  const std::uint32_t window = code << (kHuffMaxCodeLength - len); // 15 bits, first bit on top
  std::uint32_t e = table[window >> (kHuffMaxCodeLength - root)];
  if (!(e & kHuffSubtable))
    return {e, huffCodeLength(e)};
  const unsigned sb = huffCodeLength(e);
  const std::uint32_t sub =
      table[huffPayload(e) + ((window >> (kHuffMaxCodeLength - root - sb)) & ((1u << sb) - 1))];
  return {sub, root + huffCodeLength(sub)};
}

// A complete code with lengths 1 to 16 (and 16 twice), most of them past the root, in both bit
// orders: every symbol's canonical code word leads to its own entry with its length and extra
// bits; an incomplete code leaves invalid entries; an over-subscribed one is refused.
TEST(HuffmanTableTest, BuildsTwoLevelTablesInBothBitOrders) {
  std::vector<std::uint8_t> lengths;
  for (std::uint8_t l = 1; l <= 16; ++l)
    lengths.push_back(l);
  lengths.push_back(16);
  std::vector<std::uint32_t> entries(lengths.size());
  for (std::uint32_t s = 0; s < entries.size(); ++s)
    entries[s] = ((100 + s) << 16) | (s % 3) | (s == 4 ? kHuffFlagA : 0);
  // Canonical code words: length l gets 1...10 (l-1 ones then a zero), the last two all ones.
  std::vector<std::uint32_t> codes;
  for (unsigned l = 1; l <= 16; ++l)
    codes.push_back(((1u << l) - 1) - 1);
  codes.push_back((1u << 16) - 1);
  const unsigned root = 5;
  for (const BitOrder order : {BitOrder::LsbFirst, BitOrder::MsbFirst}) {
    std::vector<std::uint32_t> table(huffTableCapacity(lengths.size(), root, 16));
    ASSERT_EQ(buildHuffmanTable(lengths, entries, root, 16, table, order), HuffBuild::Ok);
    for (std::size_t s = 0; s < lengths.size(); ++s) {
      const auto [e, used] = lookUp(table, root, order, codes[s], lengths[s]);
      EXPECT_FALSE(e & (kHuffInvalid | kHuffSubtable)) << s;
      EXPECT_EQ(huffPayload(e), 100 + s);
      EXPECT_EQ(used, lengths[s]);
      EXPECT_EQ(huffConsume(e) - huffCodeLength(e), s % 3);
      EXPECT_EQ((e & kHuffFlagA) != 0, s == 4);
    }
  }
  std::vector<std::uint32_t> table(huffTableCapacity(3, 3, 15));
  const std::vector<std::uint8_t> incomplete{1, 2, 0};
  ASSERT_EQ(buildHuffmanTable(incomplete, entries, 3, 15, table, BitOrder::LsbFirst),
            HuffBuild::Ok);
  EXPECT_TRUE(lookUp(table, 3, BitOrder::LsbFirst, 0b11, 2).first & kHuffInvalid);
  const std::vector<std::uint8_t> over{1, 1, 1};
  EXPECT_EQ(buildHuffmanTable(over, entries, 3, 15, table, BitOrder::LsbFirst),
            HuffBuild::OverSubscribed);
  std::vector<std::uint32_t> small(8);
  EXPECT_EQ(buildHuffmanTable(lengths, entries, 3, 16, small, BitOrder::LsbFirst),
            HuffBuild::TooLarge);
}

// Codes a format must see complete (LZX, imploded trees) are refused with space left over, but an
// all-zero set (a tree the block does not use) gives a table where every code word is invalid.
TEST(HuffmanTableTest, RefusesIncompleteCodesWhereTheFormatDoes) {
  std::vector<std::uint32_t> table(huffTableCapacity(4, 4, 16));
  const auto entries = plainSymbolEntries(4);
  const auto build = [&](std::vector<std::uint8_t> lengths) {
    return buildHuffmanTable(lengths, entries, 4, 16, table, BitOrder::MsbFirst,
                             Incomplete::Refused);
  };
  EXPECT_EQ(build({1, 2, 3, 3}), HuffBuild::Ok);
  EXPECT_EQ(build({1, 2, 3, 0}), HuffBuild::Incomplete);
  EXPECT_EQ(build({1, 0, 0, 0}), HuffBuild::Incomplete);
  EXPECT_EQ(build({1, 1, 1, 0}), HuffBuild::OverSubscribed);
  EXPECT_EQ(build({0, 0, 0, 0}), HuffBuild::Ok);
  for (std::size_t i = 0; i < 16; ++i)
    EXPECT_TRUE(table[i] & kHuffInvalid);
}

// The capacity is an upper bound for every code the builder takes: random code lengths, complete
// and incomplete, mostly long, over root and length limits of every decoder (bzip2's 20-bit codes
// over 258 symbols among them), each built into a table of exactly that capacity.
TEST(HuffmanTableTest, CapacityHoldsEveryCode) {
  std::uint32_t x = 12345;
  const auto next = [&](std::uint32_t n) {
    x = x * 1103515245u + 12345u;
    return (x >> 8) % n;
  };
  struct Limits {
    std::size_t symbols;
    unsigned root, maxLen;
  };
  std::vector<Limits> limits{{258, 10, 20}, {288, 11, 15}, {32, 8, 15}, {656, 11, 16}, {20, 7, 15}};
  for (int i = 0; i < 60; ++i) {
    const unsigned root = 1 + next(12);
    limits.push_back(
        {2 + next(400), root, root + next(std::min(kHuffMaxBuildLength - root, 15u) + 1)});
  }
  for (const Limits& l : limits) {
    std::vector<std::uint32_t> table(huffTableCapacity(l.symbols, l.root, l.maxLen));
    for (int trial = 0; trial < 300; ++trial) {
      std::vector<std::uint8_t> lengths(l.symbols);
      // Long codes first, then shortened or dropped until the code space holds them.
      const unsigned shortest = l.maxLen - next(std::min(l.maxLen, 1u + next(l.maxLen)));
      for (auto& len : lengths)
        len =
            next(8) == 0
                ? 0
                : static_cast<std::uint8_t>(std::max(1u, shortest + next(l.maxLen - shortest + 1)));
      const auto kraft = [&] {
        std::uint64_t sum = 0;
        for (const auto len : lengths)
          if (len != 0)
            sum += std::uint64_t{1} << (l.maxLen - len);
        return sum;
      };
      while (kraft() > (std::uint64_t{1} << l.maxLen))
        lengths[next(static_cast<std::uint32_t>(lengths.size()))] = 0;
      ASSERT_EQ(buildHuffmanTable(lengths, plainSymbolEntries(l.symbols), l.root, l.maxLen, table,
                                  BitOrder::MsbFirst),
                HuffBuild::Ok)
          << l.symbols << " " << l.root << " " << l.maxLen;
    }
  }
  // The builder refuses what its entries cannot hold.
  std::vector<std::uint32_t> big(huffTableCapacity(300, 4, 20));
  const std::vector<std::uint8_t> one{1, 1};
  EXPECT_EQ(buildHuffmanTable(one, plainSymbolEntries(2), 4, 20, big, BitOrder::MsbFirst),
            HuffBuild::TooLarge);
  EXPECT_EQ(buildHuffmanTable(one, plainSymbolEntries(2), 5, 21, big, BitOrder::MsbFirst),
            HuffBuild::TooLarge);
  EXPECT_EQ(buildHuffmanTable(one, plainSymbolEntries(2), 5, 20, big, BitOrder::MsbFirst),
            HuffBuild::Ok);
}

// Symbols coded MSB first into bytes decode back through the bit reader, short and long codes
// alike; a code word no symbol has comes back marked invalid.
TEST(HuffmanTableTest, DecodesMsbFirstInput) {
  // Lengths 2, 2, 3, 4, 9, 9 leave part of the code space unused (the canonical words 1111111xx).
  const std::vector<std::uint8_t> lengths{2, 2, 3, 4, 9, 9};
  const std::vector<std::uint32_t> codes{0b00, 0b01, 0b100, 0b1010, 0b101100000, 0b101100001};
  const unsigned root = 3;
  std::vector<std::uint32_t> table(huffTableCapacity(lengths.size(), root, 9));
  ASSERT_EQ(buildHuffmanTable(lengths, plainSymbolEntries(lengths.size()), root, 9, table,
                              BitOrder::MsbFirst),
            HuffBuild::Ok);
  const std::vector<unsigned> message{5, 0, 4, 3, 2, 1, 5, 5};
  std::vector<std::byte> bytes;
  std::uint32_t acc = 0;
  unsigned held = 0;
  const auto emit = [&](std::uint32_t code, unsigned len) {
    acc = (acc << len) | code;
    held += len;
    while (held >= 8) {
      bytes.push_back(static_cast<std::byte>(acc >> (held - 8)));
      held -= 8;
    }
  };
  for (const unsigned s : message)
    emit(codes[s], lengths[s]);
  emit(0b1111111, 7); // unused
  emit(0, 16);
  MsbBitInput<1> in{std::span<const std::byte>(bytes)};
  for (const unsigned s : message) {
    in.refill();
    const std::uint32_t e = decodeMsbFirst(in, table.data(), root);
    ASSERT_FALSE(e & kHuffInvalid);
    EXPECT_EQ(huffPayload(e), s);
  }
  in.refill();
  EXPECT_TRUE(decodeMsbFirst(in, table.data(), root) & kHuffInvalid);
}

} // namespace
} // namespace kyv::codec
