// Each filter on hand-worked blocks: what it must change, and what it must leave alone.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/branch_filters.h"

namespace kyv::codec {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes le32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const auto& p : parts)
    r.insert(r.end(), p.begin(), p.end());
  return r;
}

struct X86Case {
  const char* what;
  X86Filter filter;
  Bytes in;
  std::size_t scanEnd;
  Bytes out;
};

constexpr X86Filter kStream{.start = 0x100, .size = 0x1000}; // opcode position
constexpr X86Filter kStreamE9{.start = 0x100, .size = 0x1000, .alsoE9 = true};
// Operand position modulo 2^24, the translation size also 2^24.
constexpr X86Filter kOperand{
    .start = 0xFFFFFE, .operandBias = 1, .positionMask = 0xFFFFFF, .size = 0x1000000};

TEST(BranchFiltersTest, X86CallsAndJumps) {
  const std::vector<X86Case> cases{
      // cur = 0x101: a target inside [0, size) loses it, a negative one at least -cur gains size.
      {"positive target", kStream, cat({{0x90, 0xE8}, le32(0x10)}), 2,
       cat({{0x90, 0xE8}, le32(0x10 - 0x101)})},
      {"negative target", kStream, cat({{0x90, 0xE8}, le32(-0x20)}), 2,
       cat({{0x90, 0xE8}, le32(0x1000 - 0x20)})},
      {"lowest negative", kStream, cat({{0x90, 0xE8}, le32(-0x101)}), 2,
       cat({{0x90, 0xE8}, le32(0x1000 - 0x101)})},
      {"below -cur", kStream, cat({{0x90, 0xE8}, le32(-0x102)}), 2,
       cat({{0x90, 0xE8}, le32(-0x102)})},
      {"at size", kStream, cat({{0x90, 0xE8}, le32(0x1000)}), 2, cat({{0x90, 0xE8}, le32(0x1000)})},
      {"E9 left alone", kStream, cat({{0x90, 0xE9}, le32(0x10)}), 2,
       cat({{0x90, 0xE9}, le32(0x10)})},
      {"E9 with alsoE9", kStreamE9, cat({{0x90, 0xE9}, le32(0x10)}), 2,
       cat({{0x90, 0xE9}, le32(0x10 - 0x101)})},
      // The E8 inside the first operand is no opcode; the one after it is (cur 0x105).
      {"operand skipped", kStream, cat({{0xE8}, le32(0xE8E8E8E8), {0xE8}, le32(0x200)}), 6,
       cat({{0xE8}, le32(0xE8E8E8E8), {0xE8}, le32(0x200 - 0x105)})},
      {"opcode at scan end", kStream, cat({{0x90, 0xE8}, le32(0x10)}), 1,
       cat({{0x90, 0xE8}, le32(0x10)})},
      // cur = (0xFFFFFE + 1 + 1) & 0xFFFFFF = 0: the operand position wraps to 0.
      {"wrapped position", kOperand, cat({{0x90, 0xE8}, le32(0x10)}), 2,
       cat({{0x90, 0xE8}, le32(0x10)})},
      {"wrapped position, negative", kOperand, cat({{0x90, 0xE8}, le32(-1)}), 2,
       cat({{0x90, 0xE8}, le32(-1)})},
  };
  for (const auto& c : cases) {
    Bytes d = c.in;
    x86Decode(d, c.scanEnd, c.filter);
    EXPECT_EQ(d, c.out) << c.what;
  }
}

TEST(BranchFiltersTest, ArmBranchWithLink) {
  // Words at 0, 4, 8 of a block at stream position 8: BL +0x10 at word 4 becomes 0x10 - 3; the
  // word without 0xEB stays; BL 0 at 8 wraps to 0xFFFFFC (24 bits); the last part word stays.
  Bytes d{0x10, 0, 0, 0xEA, 0x10, 0, 0, 0xEB, 0, 0, 0, 0xEB, 0x10, 0, 0};
  armDecode(d, 8);
  EXPECT_EQ(d, (Bytes{0x10, 0, 0, 0xEA, 0x0D, 0, 0, 0xEB, 0xFC, 0xFF, 0xFF, 0xEB, 0x10, 0, 0}));
}

// Sets a bit field of a 16-byte bundle, least significant bit first.
void put(Bytes& b, std::size_t at, unsigned pos, unsigned count, std::uint32_t v) {
  for (unsigned k = 0; k < count; ++k) {
    const unsigned p = pos + k;
    b[at + p / 8] =
        static_cast<std::uint8_t>((b[at + p / 8] & ~(1u << (p % 8))) | (((v >> k) & 1) << (p % 8)));
  }
}

TEST(BranchFiltersTest, ItaniumBranchSlots) {
  // Bundle 0: template 0x10 (branch slot 2 only); slot 2 (bits 87-127) holds opcode 5 with
  // immediate 0x12345, slot 1 holds opcode 5 too but is no branch slot. Bundle 1: template 0x14
  // (no branch slots). Bundle 2: template 0x16 (all slots), slot 0 an IP-relative branch, slot 1
  // another opcode. A part bundle follows. Bundles are numbered from 0x40.
  Bytes d(16 * 3 + 10, 0xA5);
  for (std::size_t at : {0u, 16u, 32u})
    for (unsigned slot = 0; slot < 3; ++slot)
      put(d, at, 5 + 41 * slot + 37, 4, 0); // no opcode 5 unless set below
  put(d, 0, 0, 5, 0x10);
  put(d, 0, 87 + 37, 4, 5);
  put(d, 0, 87 + 13, 20, 0x12345);
  put(d, 0, 46 + 37, 4, 5);
  put(d, 0, 46 + 13, 20, 0x777);
  put(d, 16, 0, 5, 0x14);
  put(d, 16, 5 + 37, 4, 5);
  put(d, 32, 0, 5, 0x16);
  put(d, 32, 5 + 37, 4, 5);
  put(d, 32, 5 + 13, 20, 0x10);
  put(d, 32, 46 + 37, 4, 4);
  put(d, 48, 0, 5, 0x16);
  put(d, 48, 5 + 37, 4, 5);
  Bytes want = d;
  put(want, 0, 87 + 13, 20, 0x12345 - 0x40);
  put(want, 32, 5 + 13, 20, (0x10 - 0x42) & 0xFFFFF);
  itaniumDecode(d, 0x40);
  EXPECT_EQ(d, want);
}

TEST(BranchFiltersTest, PlanarDeltas) {
  // Two channels over five bytes: channel 0 takes 1, 2, 3 for positions 0, 2, 4; channel 1 takes
  // 4, 5 for 1, 3; each byte is the previous one of its channel minus the stored value.
  const Bytes src{1, 2, 3, 4, 5};
  Bytes dst(5);
  deltaDecode(src, dst, 2);
  EXPECT_EQ(dst, (Bytes{0xFF, 0xFC, 0xFD, 0xF7, 0xFA}));
  Bytes one(3);
  deltaDecode(Bytes{0x80, 0x80, 0x01}, one, 1);
  EXPECT_EQ(one, (Bytes{0x80, 0x00, 0xFF}));
}

} // namespace
} // namespace kyv::codec
