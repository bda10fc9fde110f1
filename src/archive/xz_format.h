// The .xz container (the xz file format, version 1.x): streams of a 12-byte header, blocks, an
// index and a 12-byte footer, separated by zero padding in multiples of four bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kyv::archive {

inline constexpr std::array<std::uint8_t, 6> kXzMagic{0xFD, '7', 'z', 'X', 'Z', 0x00};
inline constexpr std::array<std::uint8_t, 2> kXzFooterMagic{'Y', 'Z'};
inline constexpr std::size_t kXzStreamHeaderSize = 12;
inline constexpr std::size_t kXzStreamFooterSize = 12;

// Check types (low four bits of the second stream flags byte).
inline constexpr unsigned kXzCheckNone = 0x00;
inline constexpr unsigned kXzCheckCrc32 = 0x01;
inline constexpr unsigned kXzCheckCrc64 = 0x04;
inline constexpr unsigned kXzCheckSha256 = 0x0A;
// Size of the check field for each of the 16 check types.
std::size_t xzCheckSize(unsigned checkType);

// Filter IDs.
inline constexpr std::uint64_t kXzFilterDelta = 0x03;
inline constexpr std::uint64_t kXzFilterX86 = 0x04;
inline constexpr std::uint64_t kXzFilterPowerPc = 0x05;
inline constexpr std::uint64_t kXzFilterIa64 = 0x06;
inline constexpr std::uint64_t kXzFilterArm = 0x07;
inline constexpr std::uint64_t kXzFilterArmThumb = 0x08;
inline constexpr std::uint64_t kXzFilterSparc = 0x09;
inline constexpr std::uint64_t kXzFilterArm64 = 0x0A;
inline constexpr std::uint64_t kXzFilterLzma2 = 0x21;
inline constexpr std::size_t kXzMaxFilters = 4;

// Stream flags: byte 0 is zero, byte 1 holds the check type in its low four bits.
struct XzStreamFlags {
  unsigned check = 0;
};
// The 12-byte stream header; nullopt when the magic, the flags or their CRC-32 is wrong.
std::optional<XzStreamFlags>
parseXzStreamHeader(std::span<const std::uint8_t, kXzStreamHeaderSize> h);

struct XzStreamFooter {
  XzStreamFlags flags;
  std::uint64_t indexSize = 0; // the backward size
};
std::optional<XzStreamFooter>
parseXzStreamFooter(std::span<const std::uint8_t, kXzStreamFooterSize> f);

struct XzFilter {
  std::uint64_t id = 0;
  std::vector<std::uint8_t> properties;
};

inline constexpr std::uint64_t kXzUnknown = UINT64_MAX;

struct XzBlockHeader {
  std::size_t headerSize = 0;
  std::uint64_t compressedSize = kXzUnknown;
  std::uint64_t uncompressedSize = kXzUnknown;
  std::vector<XzFilter> filters; // in the encoder's order; the last one is the LZMA2 filter
};
// A whole block header (its first byte gives its size: (b + 1) * 4), CRC-32 included; nullopt
// when damaged. Filters are only parsed here, not judged.
std::optional<XzBlockHeader> parseXzBlockHeader(std::span<const std::uint8_t> h);

// A variable-length integer at p (7 bits a byte, low first, at most 9 bytes, no needless
// trailing zero byte); advances p. nullopt when it runs past end or is malformed.
std::optional<std::uint64_t> readXzVli(const std::uint8_t*& p, const std::uint8_t* end);

} // namespace kyv::archive
