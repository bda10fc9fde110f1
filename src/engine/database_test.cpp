// The database container: Real6, the weighted sum, descrambling, the integrity test and the
// decoding of files made by the independent test producer and by the engine's own encoder.
#include <gtest/gtest.h>

#include <cmath>

#include "engine/database.h"
#include "testing_producer.h"

namespace kyv::engine {
namespace {

using testing::Bytes;
using testing::produce;
using testing::ProducerHeader;

std::vector<std::byte> toBytes(const Bytes& b) {
  std::vector<std::byte> out(b.size());
  for (std::size_t k = 0; k < b.size(); ++k)
    out[k] = static_cast<std::byte>(b[k]);
  return out;
}

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t k = 0; k < n; ++k)
    b[k] = static_cast<std::uint8_t>((k * 7 + k / 251) & 0xFF);
  return b;
}

TEST(Real6, ValuesAndProgramVersion) {
  struct Case {
    std::array<std::uint8_t, 6> bytes;
    double value;
  } cases[] = {
      {{0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0.0}, // exponent 0 is zero whatever follows
      {{0x81, 0, 0, 0, 0, 0}, 1.0},
      {{0x81, 0, 0, 0, 0, 0x80}, -1.0},
      {{0x82, 0, 0, 0, 0, 0x40}, 3.0}, // 2 * (1 + 0.5)
      {{0x83, 0x33, 0x33, 0x33, 0x33, 0x03}, 4.0 * (1.0 + 0x0333333333 / 549755813888.0)},
  };
  for (const Case& c : cases) {
    Real6 r{c.bytes};
    EXPECT_EQ(r.value(), c.value);
  }
  EXPECT_NEAR(ProgramVersion.value(), 4.099999999998545, 1e-15);
  EXPECT_LT(ProgramVersion.value(), 4.1);
  EXPECT_EQ(Real6::fromDouble(4.1), ProgramVersion);
  EXPECT_EQ(Real6::fromDouble(0.0).Bytes[0], 0);
  EXPECT_EQ(Real6::fromDouble(-3.0).value(), -3.0);
}

TEST(WeightedSum, SmallTextAndWrap) {
  const std::string_view abc = "abc";
  EXPECT_EQ(WeightedSum(std::as_bytes(std::span(abc))), 296u);
  // 2^17 bytes of 0xFF: sum of i*255 for i < 2^17 wraps modulo 2^32.
  std::vector<std::byte> ff(1u << 17, std::byte{0xFF});
  const std::uint64_t n = ff.size();
  EXPECT_EQ(WeightedSum(ff), static_cast<std::uint32_t>(255 * (n * (n - 1) / 2)));
}

TEST(Descramble, MatchesTheIndependentFormulaAcrossTheSquareWrap) {
  // 46341 is the first position whose square no longer fits in 31 bits: h = -1073739507 there.
  const std::uint32_t positions[] = {30,    31,    255,   46340,  46341,
                                     46342, 65536, 92681, 100000, 3000000};
  for (const std::uint32_t i : positions)
    for (const std::uint8_t seed : {0, 1, 0x5A, 255})
      for (const unsigned plain : {0u, 1u, 0x7Fu, 0x80u, 0xFFu}) {
        const std::uint8_t stored = testing::scramble(static_cast<std::uint8_t>(plain), i, seed);
        EXPECT_EQ(DescrambleByte(stored, i, seed), plain) << "i=" << i << " seed=" << int(seed);
        EXPECT_EQ(ScrambleByte(static_cast<std::uint8_t>(plain), i, seed), stored);
      }
  // The wrap itself, spelled out: (8*46341 + h + 335) mod 256 with h = -1073739507.
  const std::int64_t t = ((8 * 46341LL - 1073739507LL + 335) % 256 + 256) % 256;
  EXPECT_EQ(DescrambleByte(0, 46341, 0), static_cast<std::uint8_t>(~(0u ^ t)));
}

TEST(DecodeDatabaseImage, DecodesIndependentlyProducedFiles) {
  // Bodies that end before, at and well past the position where the square wraps, and a
  // 200000-byte one that needs several stored blocks.
  for (const std::size_t bodySize : {std::size_t{0}, std::size_t{1}, std::size_t{46300},
                                     std::size_t{46400}, std::size_t{200000}}) {
    ProducerHeader h;
    h.recordCount = 7;
    h.stamp = 45678.25;
    h.seed = static_cast<std::uint8_t>(bodySize);
    const Bytes body = pattern(bodySize);
    std::vector<std::byte> image = toBytes(produce(h, body));
    ASSERT_TRUE(DecodeDatabaseImage(image)) << bodySize;
    ASSERT_EQ(image.size(), kHeaderSize + bodySize);
    EXPECT_EQ(std::vector<std::byte>(image.begin() + kHeaderSize, image.end()), toBytes(body));
    const DatabaseHeader header = ReadDatabaseHeader(image);
    EXPECT_TRUE(header.hasMagic());
    EXPECT_EQ(header.Stamp, 45678.25);
    EXPECT_EQ(header.RecordCount, 7);
    EXPECT_EQ(header.Checksum, 0u); // zeroed in the decoded image
    EXPECT_EQ(header.MinVersion, ProgramVersion);
  }
}

TEST(DecodeDatabaseImage, DamagedFiles) {
  ProducerHeader h;
  const Bytes good = produce(h, pattern(3000));
  {
    std::vector<std::byte> image = toBytes(good);
    ASSERT_TRUE(DecodeDatabaseImage(image));
  }
  // One changed byte anywhere but the magic's first byte (weight 0) and the checksum itself.
  for (const std::size_t pos :
       {std::size_t{1}, std::size_t{2}, std::size_t{11}, std::size_t{20}, std::size_t{25},
        std::size_t{29}, std::size_t{30}, std::size_t{31}, std::size_t{1500}, good.size() - 1}) {
    Bytes bad = good;
    bad[pos] ^= 0x01;
    std::vector<std::byte> image = toBytes(bad);
    EXPECT_FALSE(DecodeDatabaseImage(image)) << "position " << pos;
  }
  {
    Bytes changedMagic = good;
    changedMagic[0] = 'X';
    std::vector<std::byte> image = toBytes(changedMagic);
    ASSERT_TRUE(DecodeDatabaseImage(image)); // only the magic test catches it
    EXPECT_FALSE(ReadDatabaseHeader(image).hasMagic());
  }
  for (const std::size_t n : {std::size_t{0}, std::size_t{29}, std::size_t{30}}) {
    std::vector<std::byte> image =
        toBytes(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)));
    EXPECT_FALSE(DecodeDatabaseImage(image)) << n;
  }
  // A correct checksum over a malformed stream: block type 3, then a stream cut short.
  for (const Bytes& stream : {Bytes{0x07, 0x00}, Bytes{0x01, 0x10, 0x00, 0xEF, 0xFF, 'a'}}) {
    std::vector<std::byte> image = toBytes(produce(h, {}, &stream));
    EXPECT_FALSE(DecodeDatabaseImage(image));
  }
  // Data after the final block is ignored.
  Bytes withTail = testing::storedDeflate(pattern(10));
  withTail.push_back(0xAB);
  std::vector<std::byte> image = toBytes(produce(h, {}, &withTail));
  ASSERT_TRUE(DecodeDatabaseImage(image));
  EXPECT_EQ(image.size(), kHeaderSize + 10);
}

TEST(EncodeDatabaseImage, RoundTripsThroughTheDecoder) {
  for (const std::size_t bodySize : {std::size_t{0}, std::size_t{5}, std::size_t{70000}}) {
    Bytes plain = pattern(bodySize);
    for (std::size_t k = 0; k + 1 < plain.size(); k += 3)
      plain[k] = 'A'; // some repetition for the compressor to find
    const std::vector<std::byte> body = toBytes(plain);
    DatabaseFields fields;
    fields.Stamp = 12.5;
    fields.RecordCount = 3;
    fields.Seed = 0xC3;
    fields.MinVersion = Real6{{0x81, 0, 0, 0, 0, 0}};
    std::vector<std::byte> image = EncodeDatabaseImage(fields, body);
    ASSERT_TRUE(DecodeDatabaseImage(image));
    EXPECT_EQ(std::vector<std::byte>(image.begin() + kHeaderSize, image.end()), body);
    const DatabaseHeader h = ReadDatabaseHeader(image);
    EXPECT_EQ(h.Stamp, 12.5);
    EXPECT_EQ(h.RecordCount, 3);
    EXPECT_EQ(h.Seed, 0xC3);
    EXPECT_EQ(h.MinVersion.value(), 1.0);
  }
}

TEST(DatabaseHeader, VersionTest) {
  DatabaseHeader h;
  h.MinVersion = ProgramVersion;
  EXPECT_TRUE(h.versionAccepted());
  h.MinVersion = Real6{{0x83, 0x34, 0x33, 0x33, 0x33, 0x03}};
  EXPECT_FALSE(h.versionAccepted());
  h.MinVersion = Real6{{0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}};
  EXPECT_TRUE(h.versionAccepted());
}

} // namespace
} // namespace kyv::engine
