#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/checksum.h"
#include "base/byte_io.h"
#include "base/endian.h"
#include "reference_checksums.h"

namespace kyv::codec {
namespace {

using test::bitwiseCrc32;
using test::bitwiseCrc32Msb;
using test::stepwiseAdler32;

TEST(ChecksumTest, KnownValues) {
  EXPECT_EQ(crc32Update(0, asBytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32Update(0, {}), 0u);
  EXPECT_EQ(crc32MsbUpdate(0, asBytes("123456789")), 0xFC891918u);
  EXPECT_EQ(crc32MsbUpdate(0, {}), 0u);
  EXPECT_EQ(adler32Update(1, asBytes("Wikipedia")), 0x11E60398u);
  EXPECT_EQ(adler32Update(1, {}), 1u);
}

// Every length and start offset up to a few hundred bytes, and pieces fed in any split, give the
// bit-by-bit result; this covers the wide and the byte-wise paths and their joins. All-0xFF input
// is where Adler-32's sums grow fastest between reductions.
TEST(ChecksumTest, AgreesWithBitwiseDefinition) {
  std::vector<std::byte> data(20000);
  std::uint32_t x = 7;
  for (std::byte& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::byte>(x >> 16);
  }
  const std::span<const std::byte> all(data);
  for (std::size_t off = 0; off < 17; ++off)
    for (std::size_t len = 0; len < 300; ++len) {
      const auto piece = all.subspan(off, len);
      ASSERT_EQ(crc32Update(0, piece), bitwiseCrc32(piece)) << off << "+" << len;
      ASSERT_EQ(crc32MsbUpdate(0, piece), bitwiseCrc32Msb(piece)) << off << "+" << len;
      ASSERT_EQ(adler32Update(1, piece), stepwiseAdler32(piece)) << off << "+" << len;
    }
  for (const std::size_t split : {1u, 63u, 64u, 65u, 4095u, 4096u, 12345u}) {
    std::uint32_t crc = 0, crcMsb = 0, adler = 1;
    for (std::size_t i = 0; i < data.size(); i += split) {
      const auto piece = all.subspan(i, std::min(split, data.size() - i));
      crc = crc32Update(crc, piece);
      crcMsb = crc32MsbUpdate(crcMsb, piece);
      adler = adler32Update(adler, piece);
    }
    EXPECT_EQ(crc, bitwiseCrc32(all)) << split;
    EXPECT_EQ(crcMsb, bitwiseCrc32Msb(all)) << split;
    EXPECT_EQ(adler, stepwiseAdler32(all)) << split;
  }
  const std::vector<std::byte> ones(100000, std::byte{0xFF});
  EXPECT_EQ(adler32Update(1, ones), stepwiseAdler32(ones));
  EXPECT_EQ(crc32Update(0, ones), bitwiseCrc32(ones));
}

// The 16-bit CRC of the LZH archives: its check value, and every length and split against the
// bit-by-bit definition.
TEST(ChecksumTest, Crc16AgreesWithBitwiseDefinition) {
  const auto bitwise = [](std::span<const std::byte> d) {
    std::uint16_t c = 0;
    for (const std::byte b : d) {
      c ^= std::to_integer<std::uint16_t>(b);
      for (int k = 0; k < 8; ++k)
        c = static_cast<std::uint16_t>((c & 1) ? (c >> 1) ^ 0xA001 : c >> 1);
    }
    return c;
  };
  EXPECT_EQ(crc16Update(0, asBytes("123456789")), 0xBB3Du);
  std::vector<std::byte> data(1000);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::byte>(i * 7919 >> 3);
  const std::span<const std::byte> all(data);
  for (std::size_t len = 0; len < 40; ++len)
    ASSERT_EQ(crc16Update(0, all.first(len)), bitwise(all.first(len))) << len;
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < data.size(); i += 13)
    crc = crc16Update(crc, all.subspan(i, std::min<std::size_t>(13, data.size() - i)));
  EXPECT_EQ(crc, bitwise(all));
}

} // namespace
} // namespace kyv::codec

namespace kyv::codec {
namespace {

// CRC-64/XZ check value, and pieces of every alignment against the one-byte form.
TEST(Crc64, CheckValueAndPieces) {
  const auto digits = std::as_bytes(std::span("123456789", 9));
  EXPECT_EQ(crc64Update(0, digits), 0x995DC9BBDF1939FAull);
  EXPECT_EQ(crc64Update(0, {}), 0u);
  std::vector<std::byte> all(300);
  for (std::size_t i = 0; i < all.size(); ++i)
    all[i] = static_cast<std::byte>(i * 37 + 11);
  const std::uint64_t whole = crc64Update(0, all);
  for (std::size_t split = 0; split < 20; ++split) {
    std::uint64_t c = crc64Update(0, std::span(all).first(split));
    for (std::size_t i = split; i < all.size(); ++i)
      c = crc64Update(c, std::span(all).subspan(i, 1));
    EXPECT_EQ(c, whole) << split;
  }
}

} // namespace
} // namespace kyv::codec
