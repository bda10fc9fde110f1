// The GZIP member header (RFC 1952) as the reader uses it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::size_t kGzipFixedHeader = 10;
inline constexpr std::size_t kGzipTrailer = 8;

// Flag bits of FLG used by the reader.
inline constexpr std::uint8_t kGzipFlagHeaderCrc = 0x02; // FHCRC
inline constexpr std::uint8_t kGzipFlagExtra = 0x04;     // FEXTRA
inline constexpr std::uint8_t kGzipFlagName = 0x08;      // FNAME
inline constexpr std::uint8_t kGzipFlagComment = 0x10;   // FCOMMENT

// Names and comments longer than this are kept cut to it (the header is still read to its end).
// Real names are file names, far below this; the cap only keeps a hostile header small in memory.
inline constexpr std::size_t kGzipTextCap = 4096;

struct TAbGzipHeader {
  std::array<std::byte, kGzipFixedHeader> fixed{}; // ID1 ID2 CM FLG MTIME(4) XFL OS
  std::vector<std::byte> extra;
  std::string name = "unknown"; // when FNAME is absent
  std::string comment;
  std::uint64_t dataOffset = 0; // first byte after the header (and its CRC when FHCRC)

  std::uint8_t flags() const { return std::to_integer<std::uint8_t>(fixed[3]); }
  std::uint32_t mtime() const;
};

// Whether the first bytes are 0x1F 0x8B followed by the deflate method 8.
bool isGzipSignature(std::span<const std::byte> head);

// Reads a member header at offset (0: the file's first). Nothing when the bytes there are not
// the GZIP signature and method 8, or when the header runs past the end of the source.
std::optional<TAbGzipHeader> readGzipHeader(ByteSource& source, std::uint64_t offset = 0);

} // namespace kyv::archive
