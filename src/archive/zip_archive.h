// The ZIP reader: the central directory as a member list, and extraction of one member (stored,
// Deflate, Deflate64, bzip2, LZMA, shrink, reduce, implode; traditional PKWARE encryption).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "archive/ab_archive.h"
#include "archive/zip_format.h"

namespace kyv::archive {

class TAbZipItem final : public TAbArchiveItem {
public:
  // name: the member's name as listed (after any OEM to ANSI conversion).
  TAbZipItem(TAbZipDirectoryFileHeader header, std::string name);

  const TAbZipDirectoryFileHeader& DirectoryHeader() const { return header_; }
  std::uint8_t CompressionMethod() const {
    return static_cast<std::uint8_t>(header_.CompressionMethod);
  }
  std::uint16_t VersionNeededToExtract() const { return header_.VersionNeededToExtract; }
  std::uint16_t VersionMadeBy() const { return header_.VersionMadeBy; }
  std::uint16_t GeneralPurposeBitFlag() const { return header_.GeneralPurposeBitFlag; }
  // The directory's fixed fields, or their ZIP64 values where the fixed fields are escaped.
  std::uint32_t DiskNumberStart() const { return diskNumberStart_; }
  std::uint64_t RelativeOffset() const { return relativeOffset_; }

private:
  TAbZipDirectoryFileHeader header_;
  std::uint32_t diskNumberStart_ = 0;
  std::uint64_t relativeOffset_ = 0;
};

class TAbZipArchive final : public TAbArchive {
public:
  explicit TAbZipArchive(const std::string& fileName);
  TAbZipArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // The offset of the end-of-central-directory record, or -1; when found the stream stands at it.
  std::int64_t FindDirectoryTail();

  TAbZipItem* ZipItemAt(int index) const { return static_cast<TAbZipItem*>(MemberAt(index)); }
  const TAbZipDirectoryFileFooter& Footer() const { return footer_; }
  // The ZIP64 end record, when the archive has one (found through its locator).
  const std::optional<TAbZip64DirectoryFileFooter>& Footer64() const { return footer64_; }
  bool IsExecutable() const { return isExecutable_; }
  bool Spanned() const { return spanned_; }
  // For a self-extracting archive, the smallest local-header offset of its members.
  std::uint64_t StubSize() const { return stubSize_; }

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;

private:
  std::string ObtainPassword(ByteSource& data, std::uint32_t checkValue);
  // Looks for the ZIP64 locator right before the end record at tail and reads the record it
  // points to; returns the record's offset, or nothing when the archive has none.
  std::optional<std::uint64_t> ReadZip64Footer(std::uint64_t tail);
  // Whether a directory that ends at directoryEnd can start at offset.
  bool StartsDirectory(std::uint64_t offset, std::uint64_t directoryEnd);

  TAbZipDirectoryFileFooter footer_;
  std::optional<TAbZip64DirectoryFileFooter> footer64_;
  bool isExecutable_ = false;
  bool spanned_ = false;
  std::uint64_t stubSize_ = 0;
};

} // namespace kyv::archive
