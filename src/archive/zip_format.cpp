#include "archive/zip_format.h"

#include "base/endian.h"

namespace kyv::archive {

std::optional<TAbZipLocalFileHeader>
TAbZipLocalFileHeader::Parse(std::span<const std::byte, kZipLocalHeaderSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kLocalFileHeader)
    return std::nullopt;
  TAbZipLocalFileHeader h;
  h.VersionNeededToExtract = loadLe16(p + 4);
  h.GeneralPurposeBitFlag = loadLe16(p + 6);
  h.CompressionMethod = loadLe16(p + 8);
  h.LastModFileTime = loadLe16(p + 10);
  h.LastModFileDate = loadLe16(p + 12);
  h.CRC32 = loadLe32(p + 14);
  h.CompressedSize = loadLe32(p + 18);
  h.UncompressedSize = loadLe32(p + 22);
  h.FileNameLength = loadLe16(p + 26);
  h.ExtraFieldLength = loadLe16(p + 28);
  return h;
}

std::optional<TAbZipDirectoryFileHeader>
TAbZipDirectoryFileHeader::Parse(std::span<const std::byte, kZipCentralHeaderSize> b) {
  const std::byte* p = b.data();
  if (loadLe32(p) != zipsig::kCentralFileHeader)
    return std::nullopt;
  TAbZipDirectoryFileHeader h;
  h.VersionMadeBy = loadLe16(p + 4);
  h.VersionNeededToExtract = loadLe16(p + 6);
  h.GeneralPurposeBitFlag = loadLe16(p + 8);
  h.CompressionMethod = loadLe16(p + 10);
  h.LastModFileTime = loadLe16(p + 12);
  h.LastModFileDate = loadLe16(p + 14);
  h.CRC32 = loadLe32(p + 16);
  h.CompressedSize = loadLe32(p + 20);
  h.UncompressedSize = loadLe32(p + 24);
  h.FileNameLength = loadLe16(p + 28);
  h.ExtraFieldLength = loadLe16(p + 30);
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

} // namespace kyv::archive
