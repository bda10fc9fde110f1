// The bit readers against the definition: bit i of the input is bit (i % 8) of byte i / 8 (LSB
// first), bit 7 - i % 8 (MSB first), or the same inside 16-bit little-endian words. Reads of
// random widths over random data, from memory and from a source that returns a few bytes per
// read (so the buffer moves under a bit buffer that still holds copies of its bytes).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "codec/bit_input.h"
#include "trickle_source.h"

namespace kyv::codec {
namespace {

enum class Order { Lsb, MsbBytes, MsbWords };

unsigned bitAt(const std::vector<std::byte>& d, std::uint64_t i, Order order) {
  if (i >= d.size() * 8)
    return 0;
  const auto byte = [&](std::uint64_t k) {
    return k < d.size() ? std::to_integer<unsigned>(d[k]) : 0u;
  };
  switch (order) {
  case Order::Lsb:
    return (byte(i / 8) >> (i % 8)) & 1;
  case Order::MsbBytes:
    return (byte(i / 8) >> (7 - i % 8)) & 1;
  case Order::MsbWords: {
    const unsigned word = byte(i / 16 * 2) | (byte(i / 16 * 2 + 1) << 8);
    return (word >> (15 - i % 16)) & 1;
  }
  }
  return 0;
}

std::uint32_t expected(const std::vector<std::byte>& d, std::uint64_t at, unsigned n, Order order) {
  std::uint32_t v = 0;
  for (unsigned k = 0; k < n; ++k) {
    const unsigned b = bitAt(d, at + k, order);
    v |= order == Order::Lsb ? b << k : b << (n - 1 - k);
  }
  return v;
}

// Reads fields of 1 to 32 bits until the input is
// used up, checks each, then checks that exactly the real bits were available: reading the last
// real bit is fine, one more is a use of padding.
template <class In>
void readAll(In& in, const std::vector<std::byte>& d, Order order, std::mt19937& rng) {
  const std::uint64_t total = d.size() * 8;
  std::uint64_t at = 0;
  while (at < total) {
    const unsigned want = 1 + rng() % 32;
    const auto n = static_cast<unsigned>(std::min<std::uint64_t>(want, total - at));
    std::uint32_t got;
    bool padding;
    if constexpr (std::is_same_v<In, LsbBitInput>) {
      in.need(n);
      got = in.peek(n);
      padding = !in.drop(n);
    } else {
      got = in.get(n);
      padding = in.overrun();
      ASSERT_EQ(in.bitPosition(), at + n);
    }
    ASSERT_EQ(got, expected(d, at, n, order)) << "at bit " << at << ", " << n << " bits";
    ASSERT_FALSE(padding) << "at bit " << at;
    at += n;
  }
  if constexpr (std::is_same_v<In, LsbBitInput>) {
    in.need(1);
    EXPECT_FALSE(in.drop(1));
  } else {
    (void)in.get(1);
    EXPECT_TRUE(in.overrun());
  }
}

TEST(BitInputTest, EveryOrderAgreesWithTheBitwiseDefinition) {
  std::mt19937 rng(12345);
  for (const std::size_t size : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 15u, 16u, 17u, 100u, 40000u}) {
    std::vector<std::byte> d(size);
    for (auto& b : d)
      b = static_cast<std::byte>(rng());
    for (const std::size_t piece : {0u, 1u, 5u, 70000u}) { // 0: read in place from memory
      SCOPED_TRACE(testing::Message() << size << " bytes, pieces of " << piece);
      test::TrickleSource src(d, piece);
      const auto make = [&]<class In>(std::type_identity<In>) {
        return piece == 0 ? In(std::span<const std::byte>(d)) : In(src);
      };
      if (piece != 0)
        src = test::TrickleSource(d, piece);
      auto lsb = make(std::type_identity<LsbBitInput>{});
      readAll(lsb, d, Order::Lsb, rng);
      if (piece != 0)
        src = test::TrickleSource(d, piece);
      auto msb = make(std::type_identity<MsbBitInput<1>>{});
      readAll(msb, d, Order::MsbBytes, rng);
      if (size % 2 == 0) { // a word stream has whole words
        if (piece != 0)
          src = test::TrickleSource(d, piece);
        auto words = make(std::type_identity<MsbBitInput<2>>{});
        readAll(words, d, Order::MsbWords, rng);
      }
    }
  }
}

// A source that ends inside a 16-bit word: the missing high byte reads as zero and comes first
// (a word's high byte is read first); as for any padding, only the real bit count may be used.
TEST(BitInputTest, WordCutShortReadsItsMissingHalfAsPadding) {
  const std::vector<std::byte> d{std::byte{0x34}, std::byte{0x12}, std::byte{0xAB}};
  MsbBitInput<2> in{std::span<const std::byte>(d)};
  EXPECT_EQ(in.get(16), 0x1234u);
  EXPECT_EQ(in.get(8), 0x00u); // the missing byte
  EXPECT_FALSE(in.overrun());  // 24 bits of 24
  EXPECT_EQ(in.get(8), 0xABu);
  EXPECT_TRUE(in.overrun());
}

// After bits, whole bytes: the bytes a whole-word refill already took are given back, also when
// the buffer has moved since (the byte stream crosses the first 16 KiB chunk).
TEST(BitInputTest, EnteringBytesGivesBackWhatTheBitBufferHeld) {
  std::vector<std::byte> d(InputBuffer::kChunk + 100);
  for (std::size_t i = 0; i < d.size(); ++i)
    d[i] = static_cast<std::byte>(i * 7 + 1);
  for (const std::size_t skip :
       {std::size_t{0}, std::size_t{3}, InputBuffer::kChunk - 1, InputBuffer::kChunk + 5}) {
    for (const bool fromMemory : {true, false}) {
      test::TrickleSource src(d, 1000);
      MsbBitInput<1> in =
          fromMemory ? MsbBitInput<1>(std::span<const std::byte>(d)) : MsbBitInput<1>(src);
      for (std::size_t i = 0; i < skip; ++i)
        ASSERT_EQ(in.get(8), std::to_integer<unsigned>(d[i]));
      (void)in.get(3);
      in.align(8);
      in.enterBytes();
      if (in.available() == 0)
        in.fillBuffer();
      ASSERT_GT(in.available(), 0u);
      EXPECT_EQ(*in.next, std::to_integer<std::uint8_t>(d[skip + 1])) << skip << fromMemory;
      EXPECT_EQ(in.consumed(), skip + 1);
    }
  }
}

bool exhaustedCalled = false;

// A stream that keeps asking for bits past its end is stopped once it has needed more padding than
// any valid stream does.
TEST(BitInputTest, ReadingFarPastTheEndCallsTheOwner) {
  const std::vector<std::byte> d(4, std::byte{0xFF});
  MsbBitInput<1> in{std::span<const std::byte>(d)};
  in.onExhausted = [] { exhaustedCalled = true; };
  unsigned reads = 0;
  while (!exhaustedCalled && reads < 1000) {
    (void)in.get(32);
    ++reads;
  }
  EXPECT_TRUE(exhaustedCalled);
  EXPECT_GE(reads * 4, MsbBitInput<1>::kMaxOverread);
  EXPECT_LE(reads * 4, MsbBitInput<1>::kMaxOverread + 16);
}

} // namespace
} // namespace kyv::codec
