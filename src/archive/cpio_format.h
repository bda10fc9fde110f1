// The cpio header in its four forms, and the walk over the entries of an archive.
//
//   newc    "070701", 110 bytes of hexadecimal fields; name and data each padded to 4 bytes
//   crc     "070702", the same, with the sum of the data bytes in the check field
//   odc     "070707", 76 bytes of octal fields; no padding
//   binary  26 bytes of 16-bit words, magic 070707 (0x71C7) in the writer's byte order; name and
//           data each padded to 2 bytes; 32-bit values as two words, the high one first
//
// Every entry is its header, its name (with its terminating NUL, as the name size counts it) and
// its data; the entry named "TRAILER!!!" ends the archive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/byte_io.h"

namespace kyv::archive {

enum class CpioKind { Newc, Crc, Odc, Binary, BinarySwapped };

inline constexpr std::size_t kCpioAsciiHeader = 110; // newc and crc
inline constexpr std::size_t kCpioOdcHeader = 76;
inline constexpr std::size_t kCpioBinaryHeader = 26;
inline constexpr std::string_view kCpioTrailer = "TRAILER!!!";
// Names longer than this are taken for damage: writers stop at the system's path limit (4 KiB
// on Linux), and a name is read whole into memory.
inline constexpr std::uint64_t kCpioMaxName = 65536;

// File types of the mode field.
namespace CpioMode {
inline constexpr std::uint32_t TypeMask = 0170000;
inline constexpr std::uint32_t Regular = 0100000;
inline constexpr std::uint32_t Directory = 0040000;
inline constexpr std::uint32_t Symlink = 0120000;
} // namespace CpioMode

// The kind of header at the start of bytes, when they hold a whole, well-formed one (every field
// of digits of its base, a name size that is not zero and, where the bytes reach it, a NUL at
// the end of the name); pure.
std::optional<CpioKind> probeCpio(std::span<const std::byte> bytes);

struct CpioEntry {
  CpioKind kind = CpioKind::Newc;
  std::uint64_t headerOffset = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t size = 0; // data bytes
  std::uint64_t next = 0; // where the next header starts
  std::uint32_t mode = 0;
  std::uint32_t links = 0;
  std::uint32_t checksum = 0; // crc form only
  std::string name;

  // Regular files carry the content; a mode without a file type is taken for one as well, so
  // that nothing a writer meant as data goes unscanned.
  bool isRegular() const {
    const std::uint32_t type = mode & CpioMode::TypeMask;
    return type == CpioMode::Regular || type == 0;
  }
  bool isTrailer() const { return name == kCpioTrailer; }
};

// Reads the entry whose header starts at offset. Empty at the end of the source; throws
// EAbException for a header that is not one, a name size of 0 or past kCpioMaxName, or a name
// cut off by the end. The data is not read: it may run past the end of the source.
std::optional<CpioEntry> readCpioEntry(ByteSource& source, std::uint64_t offset);

// The sum of the data bytes that the crc form keeps, continued over pieces.
std::uint32_t cpioChecksum(std::uint32_t sum, std::span<const std::byte> data);

} // namespace kyv::archive
