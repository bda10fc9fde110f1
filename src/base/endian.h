// Little-endian loads and stores by offset; callers check the range first (off <= n && len <= n -
// off).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kyv {

inline std::uint16_t loadLe16(const std::byte* p) {
  return static_cast<std::uint16_t>(std::to_integer<unsigned>(p[0]) |
                                    (std::to_integer<unsigned>(p[1]) << 8));
}
inline std::uint32_t loadLe32(const std::byte* p) {
  return static_cast<std::uint32_t>(std::to_integer<unsigned>(p[0])) |
         (static_cast<std::uint32_t>(std::to_integer<unsigned>(p[1])) << 8) |
         (static_cast<std::uint32_t>(std::to_integer<unsigned>(p[2])) << 16) |
         (static_cast<std::uint32_t>(std::to_integer<unsigned>(p[3])) << 24);
}
inline std::uint64_t loadLe64(const std::byte* p) {
  return static_cast<std::uint64_t>(loadLe32(p)) |
         (static_cast<std::uint64_t>(loadLe32(p + 4)) << 32);
}
inline void storeLe16(std::byte* p, std::uint16_t v) {
  p[0] = static_cast<std::byte>(v);
  p[1] = static_cast<std::byte>(v >> 8);
}
inline void storeLe32(std::byte* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<std::byte>(v >> (8 * i));
}

// Range-checked forms over a span: false when [off, off + width) is not inside.
inline bool inRange(std::size_t size, std::uint64_t off, std::uint64_t len) {
  return off <= size && len <= size - off;
}

inline std::span<const std::byte> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::byte*>(text.data()), text.size()};
}

} // namespace kyv
