// The 7z archive layout: the 32-byte signature header, the property-coded header with its
// streams (packed streams, folders of coders joined by bind pairs, substreams) and its file
// list. Parsing only: decoding a folder is sevenzip_folder.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::archive::sevenzip {

inline constexpr std::array<std::byte, 6> kSignature{std::byte{'7'},  std::byte{'z'},
                                                     std::byte{0xBC}, std::byte{0xAF},
                                                     std::byte{0x27}, std::byte{0x1C}};
inline constexpr std::size_t kSignatureHeaderSize = 32;
// Offsets inside the signature header.
inline constexpr std::size_t kOffMajorVersion = 6;
inline constexpr std::size_t kOffStartHeaderCrc = 8;
inline constexpr std::size_t kOffNextHeaderOffset = 12;
inline constexpr std::size_t kOffNextHeaderSize = 20;
inline constexpr std::size_t kOffNextHeaderCrc = 28;

// Property ids of the header.
namespace Id {
inline constexpr std::uint8_t End = 0x00;
inline constexpr std::uint8_t Header = 0x01;
inline constexpr std::uint8_t ArchiveProperties = 0x02;
inline constexpr std::uint8_t AdditionalStreamsInfo = 0x03;
inline constexpr std::uint8_t MainStreamsInfo = 0x04;
inline constexpr std::uint8_t FilesInfo = 0x05;
inline constexpr std::uint8_t PackInfo = 0x06;
inline constexpr std::uint8_t UnpackInfo = 0x07;
inline constexpr std::uint8_t SubStreamsInfo = 0x08;
inline constexpr std::uint8_t Size = 0x09;
inline constexpr std::uint8_t Crc = 0x0A;
inline constexpr std::uint8_t Folder = 0x0B;
inline constexpr std::uint8_t CodersUnpackSize = 0x0C;
inline constexpr std::uint8_t NumUnpackStream = 0x0D;
inline constexpr std::uint8_t EmptyStream = 0x0E;
inline constexpr std::uint8_t EmptyFile = 0x0F;
inline constexpr std::uint8_t Anti = 0x10;
inline constexpr std::uint8_t Name = 0x11;
inline constexpr std::uint8_t WinAttributes = 0x15;
inline constexpr std::uint8_t EncodedHeader = 0x17;
inline constexpr std::uint8_t Dummy = 0x19;
} // namespace Id

// Caps on what a header may declare. A folder of the archivers we know has at most four coders
// (BCJ2 and its three compressors) with at most four inputs each; the caps leave room without
// letting a hostile count size anything.
inline constexpr std::size_t kMaxCoders = 32;
inline constexpr std::size_t kMaxCoderStreams = 32;
inline constexpr std::size_t kMaxFolderStreams = 64;
inline constexpr std::size_t kMaxPropsSize = 1024; // the largest real coder property is 5 bytes
// A header (stored or decoded) larger than this is refused: 100,000 members with long names
// take a few megabytes, and the kernel never takes more members than that from one file.
inline constexpr std::uint64_t kMaxHeaderBytes = std::uint64_t{64} << 20;
// Headers packed inside headers: 7-Zip writes one level; more is refused.
inline constexpr int kMaxHeaderLevels = 4;

struct Coder {
  std::vector<std::uint8_t> id; // the method id, most significant byte first
  std::uint32_t numIn = 1;      // packed side
  std::uint32_t numOut = 1;     // unpacked side
  std::vector<std::byte> props;
};

// An input of one coder fed by the output of another (indexes over the whole folder).
struct BindPair {
  std::uint32_t in = 0;
  std::uint32_t out = 0;
};

struct Folder {
  std::vector<Coder> coders;
  std::vector<BindPair> bindPairs;
  // The folder's inputs fed by packed streams, in the order of its packed streams.
  std::vector<std::uint32_t> packedInputs;
  std::vector<std::uint64_t> unpackSizes; // one per output over all coders
  std::optional<std::uint32_t> crc;
  std::uint32_t firstPackStream = 0; // index into the archive's packed streams
  std::uint32_t numSubstreams = 1;
  std::uint32_t mainOutput = 0; // the one output no bind pair takes

  std::uint32_t totalIn() const;
  std::uint32_t totalOut() const;
  std::uint64_t unpackSize() const { return unpackSizes[mainOutput]; }
  // The coder owning a folder-wide input or output index, and that stream's index inside it.
  std::pair<std::uint32_t, std::uint32_t> coderOfIn(std::uint32_t in) const;
  std::uint32_t coderOfOut(std::uint32_t out) const;
  std::uint32_t firstIn(std::uint32_t coder) const;
  std::optional<std::uint32_t> bindForIn(std::uint32_t in) const;
  std::optional<std::uint32_t> packedIndexOf(std::uint32_t in) const;
};

struct StreamsInfo {
  std::uint64_t packPos = 0; // from the end of the signature header
  std::vector<std::uint64_t> packSizes;
  std::vector<Folder> folders;
  // One entry per substream over all folders, in folder order.
  std::vector<std::uint64_t> subSizes;
  std::vector<std::optional<std::uint32_t>> subCrcs;
};

struct FileEntry {
  std::string name; // UTF-8
  bool hasStream = true;
  bool isDirectory = false;
  bool isAnti = false;
  std::optional<std::uint32_t> attributes;
};

struct Database {
  StreamsInfo streams;
  std::vector<FileEntry> files;
};

// What the signature header says.
struct StartHeader {
  std::uint8_t majorVersion = 0;
  std::uint8_t minorVersion = 0;
  std::uint64_t nextHeaderOffset = 0; // from the end of the signature header
  std::uint64_t nextHeaderSize = 0;
  std::uint32_t nextHeaderCrc = 0;
};

bool hasSignature(std::span<const std::byte> head);
// Checks the magic, the major version and the start header's CRC; throws EAbException.
StartHeader parseStartHeader(std::span<const std::byte, kSignatureHeaderSize> bytes);

// A header is either the archive's Header or an EncodedHeader: the streams of a packed header,
// to be decoded and parsed again.
struct ParsedHeader {
  std::optional<Database> database;
  std::optional<StreamsInfo> encoded;
};
// Parses a whole header; throws EAbException on malformed data.
ParsedHeader parseHeader(std::span<const std::byte> bytes);

} // namespace kyv::archive::sevenzip
