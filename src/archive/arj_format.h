// The ARJ archive layout as the reader uses it. Every header is
//
//   60 EA, basic header size (2, 0 at the end of the archive, at most 2600), the basic header,
//   its CRC-32 (4), then extended headers, each a size (2, 0 ends them), its bytes and a CRC-32.
//
// The basic header starts with its fixed part (first_hdr_size bytes, at least 30), followed by
// the NUL-terminated name and comment. The archive starts with a main header (file type 2); one
// local header per member follows, its compressed data right after its extended headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::uint8_t kArjId0 = 0x60, kArjId1 = 0xEA;
// The archiver never writes a larger basic header; a larger size is not ARJ.
inline constexpr std::size_t kArjMaxBasicHeader = 2600;
inline constexpr std::size_t kArjMinFixedPart = 30;

// Offsets in the basic header (after id and size).
namespace arj {
inline constexpr std::size_t kFirstHeaderSize = 0;
inline constexpr std::size_t kFlags = 4;
inline constexpr std::size_t kMethod = 5;
inline constexpr std::size_t kFileType = 6;
inline constexpr std::size_t kTime = 8;
inline constexpr std::size_t kCompressedSize = 12;
inline constexpr std::size_t kOriginalSize = 16;
inline constexpr std::size_t kCrc = 20;
inline constexpr std::size_t kAccessMode = 26;

inline constexpr std::uint8_t kFlagGarbled = 0x01;
inline constexpr std::uint8_t kFlagVolume = 0x04;  // continues in the next volume
inline constexpr std::uint8_t kFlagExtFile = 0x08; // continued from the previous volume

inline constexpr std::uint8_t kTypeBinary = 0;
inline constexpr std::uint8_t kTypeText = 1;
inline constexpr std::uint8_t kTypeMain = 2;
inline constexpr std::uint8_t kTypeDirectory = 3;
inline constexpr std::uint8_t kTypeLabel = 4;
} // namespace arj

struct ArjHeader {
  std::vector<std::byte> basic; // the basic header, CRC-checked
  std::string name;
  std::uint64_t next = 0; // first byte after its extended headers
  bool end = false;       // the end-of-archive header (size 0)

  std::uint8_t byteAt(std::size_t off) const { return std::to_integer<std::uint8_t>(basic[off]); }
};

// Whether a head (at least 8 bytes past the main header when it fits) starts with an ARJ main
// header: the id, a basic header size of the fixed part and two NULs up to 2600, a fixed part of
// at least 30 bytes and file type 2, and the header CRC when the header lies inside the head.
bool isArjMainHeader(std::span<const std::byte> head);

// Reads the header at offset. Nothing when the id, the size, a NUL-terminated name, the CRC or
// an extended header's bounds do not hold (a damaged or foreign header).
std::optional<ArjHeader> readArjHeader(ByteSource& source, std::uint64_t offset);

} // namespace kyv::archive
