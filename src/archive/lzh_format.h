// The LZH (LHA/LHarc) archive layout as the reader uses it. A member is a header, its compressed
// data, the next header; a 0 byte where a header would start ends the archive. The header comes
// in four levels, all with the method ("-lh5-") at offset 2, the compressed and original sizes at
// 7 and 11 and the level at 20:
//
//   0  size (1, the bytes after the first two), byte sum (1), ..., name length (1) at 21, name,
//      CRC-16 (2), optional extension
//   1  as 0, then OS id (1) and the size (2) of the first extended header; the compressed size
//      includes the extended headers, which follow the base header
//   2  total header size (2), ..., CRC-16 (2) at 21, OS id (1), first extended header size (2) at
//      24; extended headers follow inside the total size
//   3  word size (2, always 4), ..., CRC-16 at 21, OS id, total header size (4) at 24, first
//      extended header size (4) at 28
//
// An extended header is its type (1), its data, and the size (2, or 4 at level 3) of the next
// one, 0 for none. Types used: 0x01 file name, 0x02 directory name (0xFF between parts), 0x42
// 64-bit compressed and original sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/byte_io.h"

namespace kyv::archive {

namespace lzh {
inline constexpr std::size_t kMethod = 2;
inline constexpr std::size_t kMethodSize = 5;
inline constexpr std::size_t kCompressedSize = 7;
inline constexpr std::size_t kOriginalSize = 11;
inline constexpr std::size_t kTime = 15;
inline constexpr std::size_t kLevel = 20;
inline constexpr std::size_t kNameLength = 21; // levels 0 and 1
inline constexpr std::size_t kCrc = 21;        // levels 2 and 3
// The shortest base headers: level 0 with an empty name, level 2, level 3.
inline constexpr std::size_t kMinLevel0 = 24;
inline constexpr std::size_t kMinLevel2 = 26;
inline constexpr std::size_t kMinLevel3 = 32;
// Level 3 headers may be large in principle; real ones hold a name and a few attributes.
inline constexpr std::uint64_t kMaxLevel3Header = 1u << 20;
} // namespace lzh

struct LzhHeader {
  std::string method; // the five characters, "-lh5-"
  std::string name;   // directory and file name joined with '/'
  std::uint64_t compressedSize = 0;
  std::uint64_t originalSize = 0;
  std::uint16_t crc = 0;
  std::uint32_t time = 0;
  int level = 0;
  std::uint64_t dataOffset = 0;
};

// Whether a head starts with a sane LZH member header: "-l??-" at offset 2, level 0 to 3 with the
// fields of that level in range, and the byte sum of levels 0 and 1.
bool isLzhHeader(std::span<const std::byte> head);

// Reads the header at offset. Nothing at the end of the archive (a 0 byte or the end of the
// file); an EAbException when the bytes there are not a sane header or its extended headers
// leave its bounds.
std::optional<LzhHeader> readLzhHeader(ByteSource& source, std::uint64_t offset);

} // namespace kyv::archive
