// The cabinet's own header and file table (the published cabinet format), read the way the
// system's cabinet library reports them: names and neighbour names as stored, bytes unchanged.
//
// Header-only on purpose. Where the system library is missing, the platform layer stands in for
// it and has to read this same header; the platform layer sits below the archive readers (they
// link it), so it cannot link them back. This file needs nothing but base, and both sides include
// it: one parser of cabinet headers for the whole system.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "base/endian.h"

namespace kyv::archive {

// CFHEADER: the fixed part, then (by its flags) the reserve sizes and the neighbours' names.
inline constexpr std::size_t kCabHeaderSize = 36;
inline constexpr std::array<std::byte, 4> kCabSignature{std::byte{'M'}, std::byte{'S'},
                                                        std::byte{'C'}, std::byte{'F'}};
inline constexpr std::size_t kCabOffSize = 8;   // cbCabinet
inline constexpr std::size_t kCabOffFiles = 16; // coffFiles
inline constexpr std::size_t kCabOffVersionMajor = 25;
inline constexpr std::size_t kCabOffFolders = 26;   // cFolders
inline constexpr std::size_t kCabOffFileCount = 28; // cFiles
inline constexpr std::size_t kCabOffFlags = 30;
inline constexpr std::size_t kCabOffSetId = 32;
inline constexpr std::size_t kCabOffIndex = 34;    // iCabinet
inline constexpr std::size_t kCabReserveSizes = 4; // cbCFHeader(2) cbCFFolder(1) cbCFData(1)
inline constexpr std::uint8_t kCabVersionMajor = 1;

inline constexpr std::uint16_t kCabFlagPrevious = 0x0001;
inline constexpr std::uint16_t kCabFlagNext = 0x0002;
inline constexpr std::uint16_t kCabFlagReserve = 0x0004;

// CFFILE: 16 bytes, then the zero-terminated name.
inline constexpr std::size_t kCabFileEntrySize = 16;
// Folder indexes of files that continue from or into a neighbouring cabinet.
inline constexpr std::uint16_t kCabContinuedFromPrevious = 0xFFFD;
inline constexpr std::uint16_t kCabContinuedToNext = 0xFFFE;
inline constexpr std::uint16_t kCabContinuedPreviousAndNext = 0xFFFF;
// Names are at most 255 bytes plus the terminator (the format's own limit); a longer one makes
// the header unreadable, as it does for the system library.
inline constexpr std::size_t kCabNameMax = 256;

struct CabHeader {
  std::uint32_t cabinetSize = 0;
  std::uint32_t filesOffset = 0;
  std::uint16_t folderCount = 0;
  std::uint16_t fileCount = 0;
  std::uint16_t flags = 0;
  std::uint16_t setId = 0;
  std::uint16_t cabinetIndex = 0;
  // Filled by readCabDirectory only.
  std::string previousName, previousDisk, nextName, nextDisk;

  bool hasPrevious() const { return (flags & kCabFlagPrevious) != 0; }
  bool hasNext() const { return (flags & kCabFlagNext) != 0; }
  bool hasReserve() const { return (flags & kCabFlagReserve) != 0; }
};

struct CabFileEntry {
  std::string name;
  std::uint32_t size = 0;
  std::uint32_t offset = 0; // in its folder's uncompressed data
  std::uint16_t folder = 0;
  std::uint16_t date = 0; // MS-DOS date and time
  std::uint16_t time = 0;
  std::uint16_t attributes = 0;

  // Its data starts in an earlier cabinet of the set, so this one cannot decode it.
  bool continuedFromPrevious() const {
    return folder == kCabContinuedFromPrevious || folder == kCabContinuedPreviousAndNext;
  }
};

struct CabDirectory {
  CabHeader header;
  std::vector<CabFileEntry> files; // in the cabinet's order
};

namespace cab_detail {

// Exactly out.size() bytes at offset, or false.
inline bool readAt(ByteSource& source, std::uint64_t offset, std::span<std::byte> out) {
  return source.seek(offset) && source.readExact(out);
}

// A zero-terminated name at offset; advances offset past its terminator. False when the source
// ends first or no terminator comes within kCabNameMax bytes.
inline bool readName(ByteSource& source, std::uint64_t& offset, std::string& out) {
  if (!source.seek(offset))
    return false;
  std::array<std::byte, kCabNameMax> buf{};
  std::size_t have = 0;
  while (have < buf.size()) {
    const std::size_t n = source.read(std::span(buf).subspan(have));
    if (n == 0)
      break;
    for (std::size_t i = have; i < have + n; ++i)
      if (buf[i] == std::byte{0}) {
        out.assign(reinterpret_cast<const char*>(buf.data()), i);
        offset += i + 1;
        return true;
      }
    have += n;
  }
  return false;
}

} // namespace cab_detail

// The fixed header, when the source starts with one: the signature and major version 1. Only
// those are checked, as the system library's is-cabinet test does; the rest is reported as is.
inline std::optional<CabHeader> readCabHeader(ByteSource& source) {
  std::array<std::byte, kCabHeaderSize> h{};
  if (!cab_detail::readAt(source, 0, h))
    return std::nullopt;
  if (!std::equal(kCabSignature.begin(), kCabSignature.end(), h.begin()) ||
      h[kCabOffVersionMajor] != std::byte{kCabVersionMajor})
    return std::nullopt;
  CabHeader out;
  out.cabinetSize = loadLe32(&h[kCabOffSize]);
  out.filesOffset = loadLe32(&h[kCabOffFiles]);
  out.folderCount = loadLe16(&h[kCabOffFolders]);
  out.fileCount = loadLe16(&h[kCabOffFileCount]);
  out.flags = loadLe16(&h[kCabOffFlags]);
  out.setId = loadLe16(&h[kCabOffSetId]);
  out.cabinetIndex = loadLe16(&h[kCabOffIndex]);
  return out;
}

// The whole header with the neighbours' names and the file table; nothing when any of it is
// missing or malformed. At most 65535 entries (the count is 16 bits), each read as it comes, so
// memory follows what the file holds, not what it claims.
inline std::optional<CabDirectory> readCabDirectory(ByteSource& source) {
  auto header = readCabHeader(source);
  if (!header)
    return std::nullopt;
  CabDirectory out;
  out.header = std::move(*header);
  CabHeader& h = out.header;
  std::uint64_t pos = kCabHeaderSize;
  if (h.hasReserve()) {
    std::array<std::byte, kCabReserveSizes> reserve{};
    if (!cab_detail::readAt(source, pos, reserve))
      return std::nullopt;
    pos += kCabReserveSizes + loadLe16(&reserve[0]);
  }
  if (h.hasPrevious() && !(cab_detail::readName(source, pos, h.previousName) &&
                           cab_detail::readName(source, pos, h.previousDisk)))
    return std::nullopt;
  if (h.hasNext() && !(cab_detail::readName(source, pos, h.nextName) &&
                       cab_detail::readName(source, pos, h.nextDisk)))
    return std::nullopt;
  pos = h.filesOffset;
  for (unsigned i = 0; i < h.fileCount; ++i) {
    std::array<std::byte, kCabFileEntrySize> e{};
    CabFileEntry f;
    if (!cab_detail::readAt(source, pos, e))
      return std::nullopt;
    pos += e.size();
    if (!cab_detail::readName(source, pos, f.name))
      return std::nullopt;
    f.size = loadLe32(&e[0]);
    f.offset = loadLe32(&e[4]);
    f.folder = loadLe16(&e[8]);
    f.date = loadLe16(&e[10]);
    f.time = loadLe16(&e[12]);
    f.attributes = loadLe16(&e[14]);
    out.files.push_back(std::move(f));
  }
  return out;
}

} // namespace kyv::archive
