#include "codec/checksum.h"

#include <array>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KYV_CRC_CLMUL 1
#endif

namespace kyv::codec {

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

// The unreflected form, slicing-by-8: table k advances a byte with k bytes after it.
constexpr std::uint32_t kCrcPolyMsb = 0x04C11DB7u;
using CrcMsbTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcMsbTables makeCrcMsbTables() {
  CrcMsbTables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i << 24;
    for (int k = 0; k < 8; ++k)
      c = (c & 0x80000000u) ? (c << 1) ^ kCrcPolyMsb : c << 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < t.size(); ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 24];
  return t;
}

constexpr CrcMsbTables kCrcMsb = makeCrcMsbTables();
static_assert(kCrcMsb[0][1] == kCrcPolyMsb, "unreflected IEEE table");

inline std::uint32_t load32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Adler-32 sums stay below 2^32 for 5552 bytes; the sums are reduced every 4096 to keep well
// inside that.
constexpr std::uint32_t kAdlerBase = 65521;
constexpr std::size_t kAdlerBlock = 4096;

std::uint32_t crcTable(std::uint32_t c, const unsigned char* p, std::size_t n) {
  while (n >= 16) {
    const std::uint32_t a = load32(p) ^ c;
    const std::uint32_t b = load32(p + 4);
    const std::uint32_t d = load32(p + 8);
    const std::uint32_t e = load32(p + 12);
    c = kCrc[15][a & 0xFF] ^ kCrc[14][(a >> 8) & 0xFF] ^ kCrc[13][(a >> 16) & 0xFF] ^
        kCrc[12][a >> 24] ^ kCrc[11][b & 0xFF] ^ kCrc[10][(b >> 8) & 0xFF] ^
        kCrc[9][(b >> 16) & 0xFF] ^ kCrc[8][b >> 24] ^ kCrc[7][d & 0xFF] ^
        kCrc[6][(d >> 8) & 0xFF] ^ kCrc[5][(d >> 16) & 0xFF] ^ kCrc[4][d >> 24] ^
        kCrc[3][e & 0xFF] ^ kCrc[2][(e >> 8) & 0xFF] ^ kCrc[1][(e >> 16) & 0xFF] ^ kCrc[0][e >> 24];
    p += 16;
    n -= 16;
  }
  while (n-- > 0)
    c = (c >> 8) ^ kCrc[0][(c ^ *p++) & 0xFF];
  return c;
}

#ifdef KYV_CRC_CLMUL
// Carry-less multiplication folding (the method of Intel's paper "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ"): four 128-bit accumulators are each multiplied forward by x^512
// and the next 64 bytes added in; then they fold into one by x^128. Folding keeps the value
// modulo the polynomial, so the CRC of the 16 bytes left, from a zero register, is the CRC of
// everything folded. Constants, in the reflected domain, for a fold over D bits: low half
// x^(D+31) mod P, high half x^(D-33) mod P, each bit-reflected in 32 bits.
constexpr std::uint32_t kFold512Lo = 0x8F352D95u, kFold512Hi = 0x1D9513D7u;
constexpr std::uint32_t kFold128Lo = 0xAE689191u, kFold128Hi = 0xCCAA009Eu;

#define KYV_CLMUL_TARGET __attribute__((target("pclmul,sse2")))

KYV_CLMUL_TARGET __attribute__((always_inline)) inline __m128i fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

KYV_CLMUL_TARGET __attribute__((always_inline)) inline __m128i load(const unsigned char* q) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// n >= 64.
KYV_CLMUL_TARGET std::uint32_t crcClmul(std::uint32_t c, const unsigned char* p, std::size_t n) {
  const __m128i k512 =
      _mm_set_epi32(0, static_cast<int>(kFold512Hi), 0, static_cast<int>(kFold512Lo));
  const __m128i k128 =
      _mm_set_epi32(0, static_cast<int>(kFold128Hi), 0, static_cast<int>(kFold128Lo));
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x0 = _mm_xor_si128(fold(x0, k512), load(p));
    x1 = _mm_xor_si128(fold(x1, k512), load(p + 16));
    x2 = _mm_xor_si128(fold(x2, k512), load(p + 32));
    x3 = _mm_xor_si128(fold(x3, k512), load(p + 48));
  }
  __m128i x = _mm_xor_si128(fold(x0, k128), x1);
  x = _mm_xor_si128(fold(x, k128), x2);
  x = _mm_xor_si128(fold(x, k128), x3);
  for (; n >= 16; p += 16, n -= 16)
    x = _mm_xor_si128(fold(x, k128), load(p));
  alignas(16) unsigned char rest[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(rest), x);
  return crcTable(crcTable(0, rest, 16), p, n);
}

bool haveClmul() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}
const bool kHaveClmul = haveClmul();
#endif

// CRC-16 of the DOS archivers, sliced by eight like the CRC-32 above.
constexpr std::uint16_t kCrc16Poly = 0xA001;
using Crc16Tables = std::array<std::array<std::uint16_t, 256>, 8>;
constexpr Crc16Tables makeCrc16Tables() {
  Crc16Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? (c >> 1) ^ kCrc16Poly : c >> 1;
    t[0][i] = static_cast<std::uint16_t>(c);
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = static_cast<std::uint16_t>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
  return t;
}
constexpr Crc16Tables kCrc16 = makeCrc16Tables();
static_assert(kCrc16[0][1] == 0xC0C1, "reflected 0x8005 table");

} // namespace

std::uint16_t crc16Update(std::uint16_t crc, std::span<const std::byte> data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  std::uint32_t c = crc;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t a = load32(p) ^ c;
    const std::uint32_t b = load32(p + 4);
    c = kCrc16[7][a & 0xFF] ^ kCrc16[6][(a >> 8) & 0xFF] ^ kCrc16[5][(a >> 16) & 0xFF] ^
        kCrc16[4][a >> 24] ^ kCrc16[3][b & 0xFF] ^ kCrc16[2][(b >> 8) & 0xFF] ^
        kCrc16[1][(b >> 16) & 0xFF] ^ kCrc16[0][b >> 24];
  }
  for (; n > 0; --n)
    c = (c >> 8) ^ kCrc16[0][(c ^ *p++) & 0xFF];
  return static_cast<std::uint16_t>(c);
}

std::uint32_t crc32Byte(std::uint32_t rawCrc, std::uint8_t byte) {
  return (rawCrc >> 8) ^ kCrc[0][(rawCrc ^ byte) & 0xFF];
}

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::byte> data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
#ifdef KYV_CRC_CLMUL
  if (data.size() >= 64 && kHaveClmul)
    return ~crcClmul(~crc, p, data.size());
#endif
  return ~crcTable(~crc, p, data.size());
}

std::uint32_t crc32MsbUpdate(std::uint32_t crc, std::span<const std::byte> data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  std::uint32_t c = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    const std::uint32_t a = c ^ ((std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                                 (std::uint32_t{p[2]} << 8) | p[3]);
    c = kCrcMsb[7][a >> 24] ^ kCrcMsb[6][(a >> 16) & 0xFF] ^ kCrcMsb[5][(a >> 8) & 0xFF] ^
        kCrcMsb[4][a & 0xFF] ^ kCrcMsb[3][p[4]] ^ kCrcMsb[2][p[5]] ^ kCrcMsb[1][p[6]] ^
        kCrcMsb[0][p[7]];
  }
  for (; n > 0; --n)
    c = (c << 8) ^ kCrcMsb[0][(c >> 24) ^ *p++];
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

namespace {

// Reflected ECMA-182 polynomial; eight tables for slicing-by-8, as for CRC-32 above.
constexpr std::uint64_t kCrc64Poly = 0xC96C5795D7870F42ull;
using Crc64Tables = std::array<std::array<std::uint64_t, 256>, 8>;

constexpr Crc64Tables makeCrc64Tables() {
  Crc64Tables t{};
  for (std::uint64_t i = 0; i < 256; ++i) {
    std::uint64_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? (c >> 1) ^ kCrc64Poly : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < 8; ++k)
    for (std::size_t i = 0; i < 256; ++i)
      t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr Crc64Tables kCrc64 = makeCrc64Tables();

} // namespace

std::uint64_t crc64Update(std::uint64_t crc, std::span<const std::byte> data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  std::size_t n = data.size();
  std::uint64_t c = ~crc;
  while (n >= 8) {
    const std::uint64_t v = c ^ (static_cast<std::uint64_t>(load32(p)) |
                                 (static_cast<std::uint64_t>(load32(p + 4)) << 32));
    c = kCrc64[7][v & 0xFF] ^ kCrc64[6][(v >> 8) & 0xFF] ^ kCrc64[5][(v >> 16) & 0xFF] ^
        kCrc64[4][(v >> 24) & 0xFF] ^ kCrc64[3][(v >> 32) & 0xFF] ^ kCrc64[2][(v >> 40) & 0xFF] ^
        kCrc64[1][(v >> 48) & 0xFF] ^ kCrc64[0][v >> 56];
    p += 8;
    n -= 8;
  }
  while (n-- > 0)
    c = kCrc64[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return ~c;
}

} // namespace kyv::codec
