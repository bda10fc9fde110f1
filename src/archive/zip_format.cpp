#include "archive/zip_format.h"

#include "base/endian.h"

namespace kyv::archive {

void ZipSharedHeaderFields::ReadShared(std::span<const std::byte, kZipSharedFieldsSize> b) {
  const std::byte* p = b.data();
  VersionNeededToExtract = loadLe16(p);
  GeneralPurposeBitFlag = loadLe16(p + 2);
  CompressionMethod = loadLe16(p + 4);
  LastModFileTime = loadLe16(p + 6);
  LastModFileDate = loadLe16(p + 8);
  CRC32 = loadLe32(p + 10);
  CompressedSize = loadLe32(p + 14);
  UncompressedSize = loadLe32(p + 18);
  FileNameLength = loadLe16(p + 22);
  ExtraFieldLength = loadLe16(p + 24);
}

std::optional<TAbZipLocalFileHeader>
TAbZipLocalFileHeader::Parse(std::span<const std::byte, kZipLocalHeaderSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kLocalFileHeader)
    return std::nullopt;
  TAbZipLocalFileHeader h;
  h.ReadShared(b.subspan<4, kZipSharedFieldsSize>());
  return h;
}

std::optional<TAbZipDirectoryFileHeader>
TAbZipDirectoryFileHeader::Parse(std::span<const std::byte, kZipCentralHeaderSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kCentralFileHeader)
    return std::nullopt;
  TAbZipDirectoryFileHeader h;
  h.VersionMadeBy = loadLe16(p + 4);
  h.ReadShared(b.subspan<6, kZipSharedFieldsSize>());
  h.FileCommentLength = loadLe16(p + 32);
  h.DiskNumberStart = loadLe16(p + 34);
  h.InternalFileAttributes = loadLe16(p + 36);
  h.ExternalFileAttributes = loadLe32(p + 38);
  h.RelativeOffset = loadLe32(p + 42);
  return h;
}

std::optional<TAbZipDirectoryFileFooter>
TAbZipDirectoryFileFooter::Parse(std::span<const std::byte, kZipEndRecordSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kEndOfCentralDirectory)
    return std::nullopt;
  TAbZipDirectoryFileFooter f;
  f.DiskNumber = loadLe16(p + 4);
  f.StartDiskNumber = loadLe16(p + 6);
  f.EntriesOnDisk = loadLe16(p + 8);
  f.TotalEntries = loadLe16(p + 10);
  f.DirectorySize = loadLe32(p + 12);
  f.DirectoryOffset = loadLe32(p + 16);
  f.ZipfileCommentLength = loadLe16(p + 20);
  return f;
}

std::optional<TAbZip64DirectoryFileFooter>
TAbZip64DirectoryFileFooter::Parse(std::span<const std::byte, kZip64EndRecordSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kZip64EndOfCentralDirectory)
    return std::nullopt;
  TAbZip64DirectoryFileFooter f;
  f.RecordSize = loadLe64(p + 4);
  f.VersionMadeBy = loadLe16(p + 12);
  f.VersionNeededToExtract = loadLe16(p + 14);
  f.DiskNumber = loadLe32(p + 16);
  f.StartDiskNumber = loadLe32(p + 20);
  f.EntriesOnDisk = loadLe64(p + 24);
  f.TotalEntries = loadLe64(p + 32);
  f.DirectorySize = loadLe64(p + 40);
  f.DirectoryOffset = loadLe64(p + 48);
  return f;
}

std::optional<TAbZip64Locator>
TAbZip64Locator::Parse(std::span<const std::byte, kZip64LocatorSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kZip64EndLocator)
    return std::nullopt;
  TAbZip64Locator l;
  l.RecordDisk = loadLe32(p + 4);
  l.RecordOffset = loadLe64(p + 8);
  l.TotalDisks = loadLe32(p + 16);
  return l;
}

void applyZip64Extra(std::string_view extraField, bool wantUncompressed, bool wantCompressed,
                     bool wantOffset, bool wantDisk, Zip64Values& values) {
  const auto* p = reinterpret_cast<const std::byte*>(extraField.data());
  std::size_t at = 0;
  // Blocks of ID, length and data; the first ZIP64 block counts, a block that claims more than
  // the field holds ends the walk.
  while (extraField.size() - at >= 4) {
    const std::uint16_t id = loadLe16(p + at);
    const std::size_t length = loadLe16(p + at + 2);
    at += 4;
    if (length > extraField.size() - at)
      return;
    if (id != kZip64ExtraId) {
      at += length;
      continue;
    }
    const std::byte* q = p + at;
    std::size_t left = length;
    const auto take64 = [&](bool want, std::uint64_t& into) {
      if (!want)
        return;
      if (left >= 8) {
        into = loadLe64(q);
        q += 8;
        left -= 8;
      } else {
        left = 0;
      }
    };
    take64(wantUncompressed, values.UncompressedSize);
    take64(wantCompressed, values.CompressedSize);
    take64(wantOffset, values.RelativeOffset);
    if (wantDisk && left >= 4)
      values.DiskNumberStart = loadLe32(q);
    return;
  }
}

} // namespace kyv::archive
