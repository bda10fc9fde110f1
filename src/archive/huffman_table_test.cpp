#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "archive/huffman_table.h"

namespace kyv::archive {
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

// A complete code with lengths 1 to 15 (and 15 twice), most of them past the root, in both bit
// orders: every symbol's canonical code word leads to its own entry with its length and extra
// bits; an incomplete code leaves invalid entries; an over-subscribed one is refused.
TEST(HuffmanTableTest, BuildsTwoLevelTablesInBothBitOrders) {
  std::vector<std::uint8_t> lengths;
  for (std::uint8_t l = 1; l <= 15; ++l)
    lengths.push_back(l);
  lengths.push_back(15);
  std::vector<std::uint32_t> entries(lengths.size());
  for (std::uint32_t s = 0; s < entries.size(); ++s)
    entries[s] = ((100 + s) << 16) | (s % 3) | (s == 4 ? kHuffFlagA : 0);
  // Canonical code words: length l gets 1...10 (l-1 ones then a zero), the last two all ones.
  std::vector<std::uint32_t> codes;
  for (unsigned l = 1; l <= 15; ++l)
    codes.push_back(((1u << l) - 1) - 1);
  codes.push_back((1u << 15) - 1);
  const unsigned root = 5;
  for (const BitOrder order : {BitOrder::LsbFirst, BitOrder::MsbFirst}) {
    std::vector<std::uint32_t> table(huffTableCapacity(lengths.size(), root, 15));
    ASSERT_EQ(buildHuffmanTable(lengths, entries, root, 15, table, order), HuffBuild::Ok);
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
  ASSERT_EQ(buildHuffmanTable(incomplete, entries, 3, 15, table, BitOrder::LsbFirst), HuffBuild::Ok);
  EXPECT_TRUE(lookUp(table, 3, BitOrder::LsbFirst, 0b11, 2).first & kHuffInvalid);
  const std::vector<std::uint8_t> over{1, 1, 1};
  EXPECT_EQ(buildHuffmanTable(over, entries, 3, 15, table, BitOrder::LsbFirst),
            HuffBuild::OverSubscribed);
  std::vector<std::uint32_t> small(8);
  EXPECT_EQ(buildHuffmanTable(lengths, entries, 3, 15, small, BitOrder::LsbFirst),
            HuffBuild::TooLarge);
}

} // namespace
} // namespace kyv::archive
