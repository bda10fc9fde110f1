// The TAR header as the reader uses it (the POSIX ustar block and its GNU variant), and the walk
// over the regular entries of a stream with the extensions writers use today: GNU long names
// and sparse maps, pax records, the ustar name prefix and base-256 numbers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "archive/tar_pax.h"
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
inline constexpr std::size_t PrefixOff = 345, PrefixLen = 155; // POSIX ustar only
// The old GNU sparse header: four map entries, the extension flag and the real size.
inline constexpr std::size_t GnuSparseOff = 386, GnuSparseEntries = 4;
inline constexpr std::size_t GnuIsExtendedOff = 482;
inline constexpr std::size_t GnuRealSizeOff = 483, GnuRealSizeLen = 12;
// An extension block of the old GNU sparse map: 21 entries and its own extension flag.
inline constexpr std::size_t GnuExtEntries = 21, GnuExtIsExtendedOff = 504;
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

// Numbers as writers store them: octal text (ParseOctal), or, when the first byte has its top
// bit set, the base-256 form (big-endian binary after that bit) that GNU tar and pax writers use
// for values too large for the octal digits. A negative base-256 value reads as 0; one too large
// for 64 bits as the largest value.
std::uint64_t ParseTarNumber(std::span<const std::byte> field);

// Type flags of entries that are not members themselves but describe the next one.
namespace TarType {
inline constexpr char GnuLongName = 'L';
inline constexpr char GnuLongLink = 'K';
inline constexpr char PaxLocal = 'x';
inline constexpr char PaxGlobal = 'g';
inline constexpr char GnuSparse = 'S';
inline constexpr char Contiguous = '7';
} // namespace TarType

// One regular member as the walk found it: its full name, where its bytes are and, for a
// sparse member, where its data segments belong in the real file.
struct TarEntry {
  TarHeaderBytes header{};
  std::uint64_t headerOffset = 0; // of the member's own header block
  std::uint64_t dataOffset = 0;   // first stored byte (after any sparse map)
  std::uint64_t storedSize = 0;   // bytes stored from dataOffset
  std::uint64_t realSize = 0;     // bytes of the member once holes are filled
  std::string name;
  std::string linkName;
  bool sparse = false;
  // Data segments of a sparse member, in order: (offset in the real file, length).
  TarSegments segments;
};

// Walks the entries of a stream by arithmetic: an entry takes its header block and its data
// rounded up to whole blocks. Long names, pax records and sparse maps met on the way are read
// and applied to the member they belong to; nothing else is validated.
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

  const TarEntry& entry() const { return entry_; }
  const TarHeaderBytes& header() const { return entry_.header; }
  // File offset of the current entry's header block.
  std::uint64_t headerOffset() const { return entry_.headerOffset; }

private:
  bool findRegular(std::uint64_t offset, bool first);
  bool readBlock(std::uint64_t offset);
  // Reads up to cap bytes of an entry's data (what long names and pax records need).
  std::string readData(std::uint64_t offset, std::uint64_t size, std::size_t cap);
  void makeEntry(std::uint64_t headerOffset, std::uint64_t size);
  // The decimal map of a version 1.0 sparse member at the start of its data; false when it is
  // malformed. mapBytes: the whole blocks it takes.
  bool readSparseMapText(std::uint64_t offset, std::uint64_t size, TarSegments& segments,
                         std::uint64_t& mapBytes);

  ByteSource& source_;
  std::array<std::byte, kTarBlockSize> block_{};
  TarEntry entry_;
  std::uint64_t next_ = 0; // where the entry after the current one starts
  // What describes the next member, and what describes every member after a global header.
  std::string longName_, longLink_;
  TarPaxRecords pax_, paxGlobal_;
};

} // namespace kyv::archive
