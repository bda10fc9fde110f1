// The files of the MS-DOS file compressor and their KWAJ siblings, each one compressed file.
//
//   SZDD  "SZDD" 88 F0 27 33, mode 'A' (1), the last character of the original name (1, 0 when
//         unknown; the compressed file's name ends in '_' in its place), original size (4), then
//         the LZSS data to the end of the file.
//   KWAJ  "KWAJ" 88 F0 27 D1, method (2), data offset (2), flags (2), then by flag: original size
//         (4), 2 bytes, a counted field (2 + n), the name (NUL-terminated, at most 8 + 1), the
//         extension (NUL-terminated, at most 3 + 1), a counted text (2 + n); the data starts at
//         the data offset. Methods: 0 stored, 1 bytes XOR 0xFF, 2 the SZDD LZSS, 3 an LZ +
//         Huffman scheme, 4 MS-ZIP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::string_view kSzddMagic{"SZDD\x88\xF0\x27\x33", 8};
inline constexpr std::string_view kKwajMagic{"KWAJ\x88\xF0\x27\xD1", 8};
inline constexpr std::size_t kSzddHeader = 14;
inline constexpr std::size_t kKwajFixedHeader = 14;

namespace kwaj {
inline constexpr int kStored = 0;
inline constexpr int kXor = 1;
inline constexpr int kLzss = 2;
inline constexpr std::uint16_t kHasLength = 0x01;
inline constexpr std::uint16_t kHasUnknown = 0x02;
inline constexpr std::uint16_t kHasExtra = 0x04;
inline constexpr std::uint16_t kHasName = 0x08;
inline constexpr std::uint16_t kHasExtension = 0x10;
inline constexpr std::uint16_t kHasText = 0x20;
} // namespace kwaj

struct CompressedFileHeader {
  bool kwaj = false;
  int method = 0; // KWAJ's; SZDD is always the LZSS
  std::optional<std::uint64_t> originalSize;
  std::uint64_t dataOffset = 0;
  char lastChar = 0; // SZDD
  std::string name;  // KWAJ, when the header names it ("name.ext")
};

bool isSzdd(std::span<const std::byte> head);
bool isKwaj(std::span<const std::byte> head);

// Reads either header at the start of the source; an EAbException when it is neither or a field
// leaves the file.
CompressedFileHeader readCompressedFileHeader(ByteSource& source);

// The original name of a compressed file: SZDD's last character in place of the '_' that ends
// the compressed file's name; KWAJ's name from its header, else the file's own name.
std::string originalName(const CompressedFileHeader& header, std::string_view fileName);

} // namespace kyv::archive
