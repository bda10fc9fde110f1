// Layout of compound files (the OLE2 structured storage under Outlook messages, Office documents
// and installer packages): a 512-byte header, then sectors of 512 or 4096 bytes numbered from 0,
// sector n starting at (n + 1) << shift. A file allocation table (FAT) chains the sectors of each
// stream; the FAT's own sectors are listed by the header and, past 109 of them, by a chain of
// DIFAT sectors. Streams under the cutoff live in 64-byte mini sectors inside the root entry's
// stream, chained by the miniFAT. The directory is an array of 128-byte entries whose storages
// hold their children in a red-black tree of left/right sibling links.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kyv::document {

inline constexpr std::array<std::byte, 8> kCfbSignature{
    std::byte{0xD0}, std::byte{0xCF}, std::byte{0x11}, std::byte{0xE0},
    std::byte{0xA1}, std::byte{0xB1}, std::byte{0x1A}, std::byte{0xE1}};

// Header fields by offset.
inline constexpr std::size_t kHeaderSize = 512;
inline constexpr std::size_t kHdrMajorVersion = 26;
inline constexpr std::size_t kHdrSectorShift = 30;
inline constexpr std::size_t kHdrMiniSectorShift = 32;
inline constexpr std::size_t kHdrFatSectors = 44;
inline constexpr std::size_t kHdrFirstDirSector = 48;
inline constexpr std::size_t kHdrFirstMiniFatSector = 60;
inline constexpr std::size_t kHdrMiniFatSectors = 64;
inline constexpr std::size_t kHdrFirstDifatSector = 68;
inline constexpr std::size_t kHdrDifatSectors = 72;
inline constexpr std::size_t kHdrDifat = 76;
inline constexpr std::size_t kHeaderDifatEntries = 109;

// The only two sector sizes the format has: 512 bytes (version 3) and 4096 (version 4).
inline constexpr unsigned kSectorShift512 = 9;
inline constexpr unsigned kSectorShift4096 = 12;
inline constexpr unsigned kMiniSectorShift = 6;
inline constexpr std::size_t kMiniSectorSize = std::size_t{1} << kMiniSectorShift;
// Streams shorter than this are stored in the mini stream. The header repeats the number; the
// format fixes it, so a header that says otherwise is not believed.
inline constexpr std::uint64_t kMiniStreamCutoff = 4096;

// Sector numbers with a meaning of their own.
inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFA;
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
// No sibling, no child.
inline constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

// Directory entry fields by offset.
inline constexpr std::size_t kDirEntrySize = 128;
inline constexpr std::size_t kDirName = 0;
inline constexpr std::size_t kDirNameBytes = 64;
inline constexpr std::size_t kDirNameLength = 64;
inline constexpr std::size_t kDirType = 66;
inline constexpr std::size_t kDirLeft = 68;
inline constexpr std::size_t kDirRight = 72;
inline constexpr std::size_t kDirChild = 76;
inline constexpr std::size_t kDirStartSector = 116;
inline constexpr std::size_t kDirStreamSize = 120;

enum class TCfbType : std::uint8_t { Empty = 0, Storage = 1, Stream = 2, Root = 5 };

} // namespace kyv::document
