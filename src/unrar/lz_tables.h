// Match-length tables shared by the 2.0 and 2.9 methods, which code lengths the same way.
#pragma once

#include <array>
#include <cstdint>

namespace kyv::unrar {

// Length slots: base and extra bits of the 28 length symbols.
inline constexpr std::array<std::uint8_t, 28> kLengthBase{
    0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 12, 14, 16, 20, 24, 28, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224};
inline constexpr std::array<std::uint8_t, 28> kLengthBits{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2,
                                                          2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5};
// Short-distance slots: base and extra bits of the eight short matches.
inline constexpr std::array<std::uint8_t, 8> kShortBase{0, 4, 8, 16, 32, 64, 128, 192};
inline constexpr std::array<std::uint8_t, 8> kShortBits{2, 2, 3, 4, 5, 6, 6, 6};

} // namespace kyv::unrar
