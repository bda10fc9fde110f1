#include "codec/md5.h"

namespace kyv::codec {

namespace {

using u32 = std::uint32_t;

// 2^32 times the absolute value of the sine of 1 to 64 (in radians), truncated.
constexpr std::array<u32, 64> kSine{
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

// Left rotations of each round's four steps.
constexpr unsigned kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr u32 rotl(u32 x, unsigned n) { return (x << n) | (x >> (32 - n)); }

} // namespace

Md5::Md5() : h_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476} {}

void Md5::compress(const std::uint8_t* block) {
  u32 x[16];
  for (int i = 0; i < 16; ++i)
    x[i] = block[4 * i] | (u32{block[4 * i + 1]} << 8) | (u32{block[4 * i + 2]} << 16) |
           (u32{block[4 * i + 3]} << 24);
  u32 a = h_[0], b = h_[1], c = h_[2], d = h_[3];
  for (int i = 0; i < 64; ++i) {
    const int round = i / 16;
    u32 f;
    int k;
    switch (round) {
    case 0:
      f = (b & c) | (~b & d), k = i;
      break;
    case 1:
      f = (b & d) | (c & ~d), k = (5 * i + 1) % 16;
      break;
    case 2:
      f = b ^ c ^ d, k = (3 * i + 5) % 16;
      break;
    default:
      f = c ^ (b | ~d), k = (7 * i) % 16;
      break;
    }
    const u32 next = b + rotl(a + f + x[k] + kSine[i], kShift[round][i % 4]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
}

void Md5::update(std::span<const std::byte> data) {
  blocks_.update(data, [this](const std::uint8_t* block) { compress(block); });
}

std::array<std::uint8_t, 16> Md5::finish() {
  blocks_.finish(8, false, [this](const std::uint8_t* block) { compress(block); });
  std::array<std::uint8_t, 16> out;
  for (int i = 0; i < 4; ++i)
    for (int k = 0; k < 4; ++k)
      out[4 * i + k] = static_cast<std::uint8_t>(h_[i] >> (8 * k));
  return out;
}

} // namespace kyv::codec
