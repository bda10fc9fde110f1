#include "archive/checksum.h"

#include <array>

namespace kyv::archive {

namespace {

// Reflected IEEE 802.3 polynomial.
constexpr std::uint32_t kCrcPoly = 0xEDB88320u;

// Sixteen tables for slicing-by-16: table k advances a byte that still has k bytes in front of
// it, so sixteen input bytes fold into the CRC with sixteen independent look-ups.
constexpr std::size_t kSlices = 16;
using CrcTables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr CrcTables makeCrcTables() {
  CrcTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? (c >> 1) ^ kCrcPoly : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < kSlices; ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr CrcTables kCrc = makeCrcTables();
static_assert(kCrc[0][1] == 0x77073096u, "reflected IEEE table");

inline std::uint32_t load32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Adler-32 sums stay below 2^32 for 5552 bytes; the sums are reduced every 4096 to keep well
// inside that.
constexpr std::uint32_t kAdlerBase = 65521;
constexpr std::size_t kAdlerBlock = 4096;

} // namespace

std::uint32_t crc32Byte(std::uint32_t rawCrc, std::uint8_t byte) {
  return (rawCrc >> 8) ^ kCrc[0][(rawCrc ^ byte) & 0xFF];
}

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::byte> data) {
  std::uint32_t c = ~crc;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  while (n >= 16) {
    const std::uint32_t a = load32(p) ^ c;
    const std::uint32_t b = load32(p + 4);
    const std::uint32_t d = load32(p + 8);
    const std::uint32_t e = load32(p + 12);
    c = kCrc[15][a & 0xFF] ^ kCrc[14][(a >> 8) & 0xFF] ^ kCrc[13][(a >> 16) & 0xFF] ^
        kCrc[12][a >> 24] ^ kCrc[11][b & 0xFF] ^ kCrc[10][(b >> 8) & 0xFF] ^
        kCrc[9][(b >> 16) & 0xFF] ^ kCrc[8][b >> 24] ^ kCrc[7][d & 0xFF] ^
        kCrc[6][(d >> 8) & 0xFF] ^ kCrc[5][(d >> 16) & 0xFF] ^ kCrc[4][d >> 24] ^
        kCrc[3][e & 0xFF] ^ kCrc[2][(e >> 8) & 0xFF] ^ kCrc[1][(e >> 16) & 0xFF] ^
        kCrc[0][e >> 24];
    p += 16;
    n -= 16;
  }
  while (n-- > 0)
    c = (c >> 8) ^ kCrc[0][(c ^ *p++) & 0xFF];
  return ~c;
}

std::uint32_t adler32Update(std::uint32_t adler, std::span<const std::byte> data) {
  std::uint32_t a = adler & 0xFFFF;
  std::uint32_t b = adler >> 16;
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  while (n > 0) {
    std::size_t k = n < kAdlerBlock ? n : kAdlerBlock;
    n -= k;
    for (; k >= 4; k -= 4, p += 4) {
      a += p[0];
      b += a;
      a += p[1];
      b += a;
      a += p[2];
      b += a;
      a += p[3];
      b += a;
    }
    for (; k > 0; --k) {
      a += *p++;
      b += a;
    }
    a %= kAdlerBase;
    b %= kAdlerBase;
  }
  return (b << 16) | a;
}

} // namespace kyv::archive
