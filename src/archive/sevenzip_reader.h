// The 7z reader: lists the files of a 7z archive and extracts them, each folder (a solid block
// of many files, or one file) decoded once from its start with its files handed out in order
// as the decoded bytes pass them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive/ab_archive.h"
#include "archive/sevenzip_format.h"

namespace kyv::archive {

class TAb7zItem : public TAbArchiveItem {
public:
  // The folder holding the file's bytes and its substream there; -1 for a file without bytes
  // (empty file, folder entry, deletion marker).
  int Folder = -1;
  std::uint32_t Substream = 0;
  std::optional<std::uint32_t> Crc;
  bool IsAnti = false;
};

// How one member's extraction ended.
struct T7zOutcome {
  enum class Kind {
    Ok,          // whole, its CRC (when it has one) matching
    CrcError,    // whole, but its CRC does not match
    Damaged,     // its folder's data failed here or before it
    Encrypted,   // its folder is encrypted
    Unsupported, // its folder uses a method this reader does not decode
    Cut,         // its sink refused more bytes (the budget, a full disk)
  };
  Kind kind = Kind::Ok;
  // The member's sink received its first bytes (it was opened); false for members never begun.
  bool started = false;
  std::string reason;
};

class TAb7zArchive : public TAbArchive {
public:
  explicit TAb7zArchive(const std::string& fileName);
  TAb7zArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // The file list itself is encrypted: nothing could be listed.
  bool HeaderEncrypted() const { return headerEncrypted_; }

  // Returns the sink for member index, or null to decode it without keeping its bytes.
  using BeginMember = std::function<ByteSink*(int index)>;
  // Told how each member with bytes ended, in archive order; false ends the walk.
  using EndMember = std::function<bool(int index, const T7zOutcome& outcome)>;
  // Every member that has bytes, folder by folder, each folder decoded once. Members of a
  // folder that cannot be decoded are told as such without being begun.
  void ExtractMembers(const BeginMember& begin, const EndMember& end);

  // Asked for bytes decoded but not kept (members begun without a sink, the rest of a member
  // whose sink refused); false ends the walk. Empty: no bound.
  std::function<bool(std::uint64_t bytes)> SkipGate;

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;

private:
  std::vector<std::byte> ReadHeaderBytes(const sevenzip::StartHeader& start);
  std::optional<sevenzip::Database> DecodeHeader(std::vector<std::byte> bytes);
  void AddItems();
  // Walks one folder; false when the walk is to end.
  bool ExtractFolder(std::size_t folder, const BeginMember& begin, const EndMember& end);

  sevenzip::Database db_;
  // Archive offset of each packed stream.
  std::vector<std::uint64_t> packOffsets_;
  // Item index of each substream, -1 for substreams no file claims.
  std::vector<int> substreamItem_;
  std::vector<std::uint32_t> folderFirstSubstream_;
  // Where the header starts: packed streams end before it.
  std::uint64_t headerStart_ = 0;
  bool headerEncrypted_ = false;
};

} // namespace kyv::archive
