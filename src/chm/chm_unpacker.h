// Reader of compiled-help containers: lists the stored files of the directory and produces the
// bytes of any one of them. A compressed (LZX) section is decoded front to back as its files are
// asked for, with bounded memory whatever length it declares (chm/lzx_section.h); asked for in
// the order of ItemsInStreamOrder(), every section is decoded once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/byte_io.h"

namespace kyv::chm {

struct TCHMDirItem {
  std::string Name;          // as stored, e.g. "::DataSpace/NameList" or "/index.html"
  std::uint32_t Section = 0; // index into the sections
  std::uint32_t Offset = 0;  // of the data within its section
  std::uint32_t Length = 0;  // 0 for folders and empty entries
};

struct TCHMSection {
  std::string Name;
  std::uint64_t Offset = 0; // absolute file offset of the section's data; 0 when unknown
  bool Compressed = false;
  std::string Method;
  std::int32_t WindowBits = 0; // 15..21, -1 for a window size the decoder has no table for
  std::uint32_t UncompressedLength = 0;
  std::uint32_t CompressedLength = 0;
};

class LzxSection;

class TCHMUnpacker {
public:
  TCHMUnpacker();
  ~TCHMUnpacker();
  TCHMUnpacker(const TCHMUnpacker&) = delete;
  TCHMUnpacker& operator=(const TCHMUnpacker&) = delete;

  void SetFileName(const std::string& path) { FileName = path; }
  // Opens FileName and reads the directory and the sections; true when the container is usable.
  // A file that cannot be opened raises kyv::Error.
  bool Open();
  // The same over a source the caller provides (tests, fuzzing, memory).
  bool Open(std::unique_ptr<ByteSource> source);

  // Index of the first item whose name equals name, both trimmed of characters 0-32 at the ends
  // and compared without regard to ASCII letter case; -1 when there is none.
  int FindItem(std::string_view name) const;
  // Writes the item's bytes to out; true when all of them were written. An uncompressed item
  // whose data runs past the end of the file raises kyv::Error. An item of a compressed section
  // that lies behind the last two frames decoded costs a decode from the section's start.
  bool ExtractItem(ByteSink& out, const TCHMDirItem& item);
  // Indices of Items in the order that serves every section by one pass: the items of the
  // uncompressed section in directory order, then each compressed section's items by offset.
  std::vector<std::size_t> ItemsInStreamOrder() const;
  // Memory held for decoding the compressed section in use.
  std::size_t DecoderMemory() const;

  // Asked before the decoder works through bytes of a compressed section that no item asked
  // for (gaps between items, bytes decoded again after a step back); false refuses the item.
  std::function<bool(std::uint64_t bytes)> DecodeGate;

  const std::vector<TCHMDirItem>& Items() const { return items_; }
  const std::vector<TCHMSection>& Sections() const { return sections_; }
  std::uint32_t ContentOffset() const { return contentOffset_; }

  std::string FileName;

private:
  bool readHeaders();
  void readDirectory(std::uint64_t directoryOffset, std::uint32_t chunkSize,
                     std::int32_t chunkCount);
  void readListingChunk(std::span<const std::byte> chunk, std::size_t entriesEnd);
  bool ReadSections();
  void readSectionInfo(TCHMSection& section);
  bool readEntryHead(const std::string& entryName, std::span<std::byte> out);
  bool copyFromFile(ByteSink& out, std::uint64_t offset, std::uint32_t length);
  LzxSection* sectionDecoder(std::uint32_t index);

  std::unique_ptr<ByteSource> stream_;
  std::array<std::byte, 56> fileHeader_{};
  std::array<std::byte, 32> sectionTable_{};
  std::array<std::byte, 24> headerSection0_{};
  std::array<std::byte, 84> directoryHeader_{};
  std::vector<TCHMDirItem> items_;
  std::vector<TCHMSection> sections_;
  std::unordered_map<std::string, int> index_; // normalised name -> first item
  std::uint32_t contentOffset_ = 0;
  // One compressed section is decoded at a time; going to another starts that one afresh.
  std::unique_ptr<LzxSection> decoder_;
  std::uint32_t decoderSection_ = 0;
};

// Name comparison key: trimmed of characters 0-32 at both ends, ASCII letters upper-cased.
std::string chmNameKey(std::string_view name);
// UTF-16LE code units to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::span<const std::byte> units);

} // namespace kyv::chm
