// CRC-32 and Adler-32 computed the slow, obvious way, bit by bit and byte by byte, so that tests
// check the fast ones in src/codec against something that shares no code with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::test {

inline std::uint32_t bitwiseCrc32(std::span<const std::byte> d) {
  std::uint32_t c = 0xFFFFFFFF;
  for (const std::byte b : d) {
    c ^= std::to_integer<std::uint32_t>(b);
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
  }
  return ~c;
}

// The unreflected form (bzip2): most significant bit first.
inline std::uint32_t bitwiseCrc32Msb(std::span<const std::byte> d) {
  std::uint32_t c = 0xFFFFFFFF;
  for (const std::byte b : d) {
    c ^= std::to_integer<std::uint32_t>(b) << 24;
    for (int k = 0; k < 8; ++k)
      c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
  }
  return ~c;
}

inline std::uint32_t stepwiseAdler32(std::span<const std::byte> d) {
  std::uint32_t a = 1, b = 0;
  for (const std::byte x : d) {
    a = (a + std::to_integer<std::uint32_t>(x)) % 65521;
    b = (b + a) % 65521;
  }
  return (b << 16) | a;
}

} // namespace kyv::test
