// A reader of compound files (OLE2 structured storage): the header, the FAT with its DIFAT, the
// miniFAT with its mini stream, and the directory walked as the tree of storages it describes.
// Streams are read by entry or by path into a sink.
//
// Nothing in the file is believed without a check. Sector numbers are compared with what the
// file holds; every chain is followed with a visited mark, so a chain that loops ends at its
// first repeated sector; a stream that runs into sectors another stream or the file's own tables
// already hold ends there, so the streams together never yield more than the file's size; a
// stream's declared size only shortens it. Directory links are followed once each: a cycle, a
// shared child or an id past the directory ends that branch. Memory is a small multiple of the
// FAT and directory the file actually holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_io.h"
#include "document/cfb_format.h"

namespace kyv::document {

struct TCfbEntry {
  std::u16string Name;
  TCfbType Type = TCfbType::Empty;
  std::uint32_t Start = kEndOfChain;
  std::uint64_t Size = 0; // as declared (a version-3 file's upper half ignored)
  std::uint32_t Left = kNoStream;
  std::uint32_t Right = kNoStream;
  std::uint32_t Child = kNoStream;
  std::uint32_t Parent = kNoStream;    // set for every entry the tree walk reached
  std::vector<std::uint32_t> Children; // a storage's entries in tree order
};

class TCompoundFile;

// One stream of a compound file as a source of its own, readable at any offset: its sectors are
// collected once, with every check a read makes, and then read where they lie in the file. Its
// size is the declared one, cut to what the chain holds; a file that ends early ends it sooner.
// It reads through the compound file's source, which must outlive it.
class TCfbStream final : public ByteSource {
public:
  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t offset) override;
  std::uint64_t size() const override { return length_; }
  std::uint64_t position() const override { return pos_; }

private:
  friend class TCompoundFile;
  TCfbStream(ByteSource& file, std::vector<std::uint64_t> units, std::uint32_t unitSize,
             std::uint64_t length)
      : file_(&file), units_(std::move(units)), unitSize_(unitSize), length_(length) {}

  ByteSource* file_;
  std::vector<std::uint64_t> units_; // file offset of each sector (or mini sector) in order
  std::uint32_t unitSize_;
  std::uint64_t length_;
  std::uint64_t pos_ = 0;
};

enum class TCfbRead {
  Complete,    // all of the declared size was written
  Short,       // the chain ended, looped, left the file or met another stream's sectors first
  SinkRefused, // the sink took no more
};

// Directory entries beyond this are not read: real files hold a few thousand at most, and the
// cap keeps a directory-only file of hundreds of megabytes from becoming as many entries in memory.
inline constexpr std::uint32_t kMaxDirectoryEntries = 1u << 18;

class TCompoundFile {
public:
  static constexpr std::uint32_t kRootId = 0;

  // Whether bytes begin with the compound-file signature.
  static bool HasSignature(std::span<const std::byte> head);

  // Reads the header, the FAT, the miniFAT and the directory. Throws kyv::Error when the source
  // is no compound file or its header or root entry cannot be used. The source must outlive
  // the reader.
  explicit TCompoundFile(ByteSource& source);

  std::uint32_t SectorSize() const { return sectorSize_; }
  std::size_t EntryCount() const { return entries_.size(); }
  const TCfbEntry& Entry(std::uint32_t id) const { return entries_.at(id); }
  const std::vector<std::uint32_t>& Children(std::uint32_t storage) const {
    return entries_.at(storage).Children;
  }
  // The child of a storage with this name (ASCII letters matched in either case, as the format
  // compares names without case).
  std::optional<std::uint32_t> Child(std::uint32_t storage, std::string_view name) const;
  std::optional<std::uint32_t> Child(std::uint32_t storage, std::u16string_view name) const;
  // An entry by its path from the root, names joined by '/'.
  std::optional<std::uint32_t> Find(std::string_view path) const;
  // An entry's name in the system's narrow text.
  std::string NameOf(std::uint32_t id) const;
  // Links of the directory that the walk refused and stream sectors refused as shared.
  std::size_t Anomalies() const { return anomalies_; }
  // The directory goes on past kMaxDirectoryEntries: the entries beyond were not read.
  bool DirectoryCut() const { return directoryCut_; }

  // Writes a stream's bytes (or the root entry's mini stream) into sink, as far as they can be
  // read.
  TCfbRead ReadStream(std::uint32_t id, ByteSink& sink);
  // A stream (or the root entry's mini stream) as a source to read at any offset.
  TCfbStream OpenStream(std::uint32_t id);
  // The first bytes of a stream, at most limit of them.
  std::vector<std::byte> ReadPrefix(std::uint32_t id, std::size_t limit);

private:
  // A sector table (FAT or miniFAT) with the marks its chains are followed by.
  struct Chains {
    std::vector<std::uint32_t> next;  // the table: next sector of each
    std::vector<std::uint32_t> seen;  // generation of the walk that last passed each sector
    std::vector<std::uint32_t> owner; // 0 free, kMetaOwner the file's tables, else entry id + 1
    std::uint32_t generation = 0;
    std::uint32_t startWalk();
  };
  static constexpr std::uint32_t kMetaOwner = 0xFFFFFFFF;

  void ReadHeader(std::span<const std::byte> header);
  std::vector<std::uint32_t> FatSectorList(std::span<const std::byte> header);
  void ReadFat(std::span<const std::byte> header);
  std::vector<std::uint32_t> MetaChain(std::uint32_t start, std::uint64_t maxSectors);
  void ReadDirectory(std::uint32_t first);
  void WalkTree();
  std::uint32_t TakeLink(std::uint32_t id, std::vector<bool>& reached);
  void OpenMiniStream(std::span<const std::byte> header);
  bool ReadAt(std::uint64_t offset, std::span<std::byte> out, std::size_t& got);
  std::uint64_t SectorOffset(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) << sectorShift_;
  }
  // The file offsets of a stream's sectors (regular or mini), each checked and marked as the
  // owner's, as far as the chain can be followed for size bytes.
  std::vector<std::uint64_t> RegularChain(std::uint32_t owner, std::uint32_t start,
                                          std::uint64_t size);
  std::vector<std::uint64_t> MiniChain(std::uint32_t owner, std::uint32_t start,
                                       std::uint64_t size);

  ByteSource& source_;
  unsigned sectorShift_ = kSectorShift512;
  std::uint32_t sectorSize_ = 512;
  std::uint32_t sectorCount_ = 0; // sectors the file holds, a last partial one included
  Chains fat_;
  Chains miniFat_;
  std::vector<std::uint32_t> miniContainer_; // the regular sectors of the mini stream, in order
  std::vector<TCfbEntry> entries_;
  std::size_t anomalies_ = 0;
  bool directoryCut_ = false;
};

} // namespace kyv::document
