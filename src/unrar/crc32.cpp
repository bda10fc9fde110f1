#include "unrar/crc32.h"

#include <array>

namespace kyv::unrar {
namespace {

// Slicing by four: four tables, each the previous one advanced by one zero byte.
constexpr std::array<std::array<std::uint32_t, 256>, 4> makeTables() {
  std::array<std::array<std::uint32_t, 256>, 4> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t n = 1; n < 4; ++n)
    for (std::size_t i = 0; i < 256; ++i)
      t[n][i] = (t[n - 1][i] >> 8) ^ t[0][t[n - 1][i] & 0xFF];
  return t;
}
constexpr auto kTables = makeTables();
static_assert(kTables[0][1] == 0x77073096u);

} // namespace

std::uint32_t crc32(std::uint32_t crc, std::span<const std::byte> data) {
  std::uint32_t c = ~crc;
  const std::byte* p = data.data();
  std::size_t n = data.size();
  while (n >= 4) {
    c ^= static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
    c = kTables[3][c & 0xFF] ^ kTables[2][(c >> 8) & 0xFF] ^ kTables[1][(c >> 16) & 0xFF] ^
        kTables[0][c >> 24];
    p += 4;
    n -= 4;
  }
  while (n-- > 0)
    c = kTables[0][(c ^ static_cast<std::uint32_t>(*p++)) & 0xFF] ^ (c >> 8);
  return ~c;
}

} // namespace kyv::unrar
