// The TAR header as the reader uses it (the POSIX ustar block and its GNU variant), and the walk
// over the regular entries of a stream. Only the first 345 bytes of each 512-byte header block
// are read: name to device numbers; the ustar prefix and the rest are not used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::size_t kTarBlockSize = 512;
inline constexpr std::size_t kTarHeaderRead = 345;

// Field offsets and widths in the header block.
namespace TarField {
inline constexpr std::size_t NameOff = 0, NameLen = 100;
inline constexpr std::size_t ModeOff = 100, ModeLen = 8;
inline constexpr std::size_t UidOff = 108, UidLen = 8;
inline constexpr std::size_t GidOff = 116, GidLen = 8;
inline constexpr std::size_t SizeOff = 124, SizeLen = 12;
inline constexpr std::size_t MtimeOff = 136, MtimeLen = 12;
inline constexpr std::size_t ChksumOff = 148, ChksumLen = 8;
inline constexpr std::size_t TypeOff = 156;
inline constexpr std::size_t LinkNameOff = 157, LinkNameLen = 100;
inline constexpr std::size_t MagicOff = 257, MagicLen = 8;
inline constexpr std::size_t UserNameOff = 265, UserNameLen = 32;
inline constexpr std::size_t GroupNameOff = 297, GroupNameLen = 32;
inline constexpr std::size_t DevMajorOff = 329, DevMajorLen = 8;
inline constexpr std::size_t DevMinorOff = 337, DevMinorLen = 8;
} // namespace TarField

using TarHeaderBytes = std::array<std::byte, kTarHeaderRead>;

// Leading blanks are skipped and a field of only blanks is 0; then octal digits are read up to the
// first other byte or the end of the field. Other encodings (base-256) read as 0 or as the digits
// before the first non-octal byte.
std::uint64_t ParseOctal(std::span<const std::byte> field);

// A field of the header up to its first zero byte (at most its width).
std::string tarText(const TarHeaderBytes& header, std::size_t offset, std::size_t width);

// A regular file is an entry whose type flag is a zero byte or '0'.
bool isTarRegular(const TarHeaderBytes& header);
std::uint64_t tarSize(const TarHeaderBytes& header);

// 4 when the first header's checksum matches, or its magic reads "ustar  " or "GNUtar ";
// otherwise 0. The source is read from offset 0.
int VerifyTar(ByteSource& source);

// Walks the headers of a stream by arithmetic: an entry takes its header block and its data
// rounded up to whole blocks. It never validates what it reads.
class TAbTarStreamHelper {
public:
  explicit TAbTarStreamHelper(ByteSource& source) : source_(source) {}

  // From offset 0, the first entry that is a regular file, skipping others. True when a full
  // header was read (its name is not looked at: an archive that begins with a zero block has
  // one entry).
  bool FirstRegularEntry();
  // Skips the current entry and finds the next regular one. False at a short read or at an
  // entry with an empty name (the end-of-archive block).
  bool NextRegularEntry();

  const TarHeaderBytes& header() const { return header_; }
  // File offset of the current entry's header block.
  std::uint64_t headerOffset() const { return offset_; }

private:
  bool readHeaderAt(std::uint64_t offset);
  std::uint64_t nextOffset() const;

  ByteSource& source_;
  TarHeaderBytes header_{};
  std::uint64_t offset_ = 0;
};

} // namespace kyv::archive
