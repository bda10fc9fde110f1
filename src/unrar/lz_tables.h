// Match-length and distance tables shared by the 2.0 and 2.9 methods, which code lengths the same
// way and whose distance slots agree as far as the older method's go.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kyv::unrar {

// Length slots: base and extra bits of the 28 length symbols.
inline constexpr std::array<std::uint8_t, 28> kLengthBase{
    0,  1,  2,  3,  4,  5,  6,  7,  8,  10,  12,  14,  16,  20,
    24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
inline constexpr std::array<std::uint8_t, 28> kLengthBits{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                                          2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
// Short-distance slots: base and extra bits of the eight short matches.
inline constexpr std::array<std::uint8_t, 8> kShortBase{0, 4, 8, 16, 32, 64, 128, 192};
inline constexpr std::array<std::uint8_t, 8> kShortBits{2, 2, 3, 4, 5, 6, 6, 6};

// Distance slots: four of 0 extra bits, two each of 1..15, fourteen of 16 and twelve of 18. The
// 2.0 method uses the first 48 of these 60.
inline constexpr unsigned kDistSlots = 60;
struct DistTables {
  std::array<std::uint32_t, kDistSlots> base{};
  std::array<std::uint8_t, kDistSlots> bits{};
};
constexpr DistTables makeDistTables() {
  DistTables t;
  constexpr std::array<std::uint8_t, 19> counts{4, 2, 2, 2, 2, 2, 2,  2, 2, 2,
                                                2, 2, 2, 2, 2, 2, 14, 0, 12};
  std::uint32_t dist = 0;
  std::size_t slot = 0;
  for (std::size_t b = 0; b < counts.size(); ++b)
    for (unsigned k = 0; k < counts[b]; ++k, ++slot) {
      t.base[slot] = dist;
      t.bits[slot] = static_cast<std::uint8_t>(b);
      dist += 1u << b;
    }
  return t;
}
inline constexpr DistTables kDist = makeDistTables();
static_assert(kDist.base[47] == 983040 && kDist.bits[47] == 16);
static_assert(kDist.base[59] == 3932160 && kDist.bits[59] == 18);

} // namespace kyv::unrar
