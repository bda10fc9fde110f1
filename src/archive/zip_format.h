// ZIP records as they stand in the file (all little-endian), parsed by offset from byte spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kyv::archive {

namespace zipsig {
inline constexpr std::uint32_t kLocalFileHeader = 0x04034B50;
inline constexpr std::uint32_t kCentralFileHeader = 0x02014B50;
inline constexpr std::uint32_t kEndOfCentralDirectory = 0x06054B50;
// ZIP64: the 64-bit end record and the locator that stands right before the classic end record.
inline constexpr std::uint32_t kZip64EndOfCentralDirectory = 0x06064B50;
inline constexpr std::uint32_t kZip64EndLocator = 0x07064B50;
// A spanned or split set may begin with one of these markers in front of the first record.
inline constexpr std::uint32_t kSpanningMarker = 0x08074B50;
inline constexpr std::uint32_t kSplitMarker = 0x30304B50;
} // namespace zipsig

// Fixed sizes of the records before their variable parts.
inline constexpr std::size_t kZipLocalHeaderSize = 30;
inline constexpr std::size_t kZipCentralHeaderSize = 46;
inline constexpr std::size_t kZipEndRecordSize = 22;
inline constexpr std::size_t kZip64EndRecordSize = 56; // before its extensible data
inline constexpr std::size_t kZip64LocatorSize = 20;

// The ID of the extra-field block that carries a member's 64-bit sizes and offset.
inline constexpr std::uint16_t kZip64ExtraId = 0x0001;
// A 32-bit (16-bit) field holding all ones means: the value is in the ZIP64 records.
inline constexpr std::uint32_t kZip64Escape32 = 0xFFFFFFFF;
inline constexpr std::uint16_t kZip64Escape16 = 0xFFFF;

// General-purpose flag bits used by the reader.
inline constexpr std::uint16_t kZipFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kZipFlagImplode8K = 0x0002;     // explode: 8 KiB dictionary
inline constexpr std::uint16_t kZipFlagImplode3Trees = 0x0004; // explode: literal tree present
inline constexpr std::uint16_t kZipFlagDataDescriptor = 0x0008;

// The newest format version this reader extracts: 4.5, ZIP64 sizes and offsets. What a member
// needs beyond that (strong encryption, newer methods) is refused by version or by method.
inline constexpr unsigned kZipMaxVersionNeeded = 45;
// What a bzip2 member may need: 4.6, the version that brought the method.
inline constexpr unsigned kZipBzip2VersionNeeded = 46;

enum TAbZipCompressionMethod : std::uint8_t {
  cmStored = 0,
  cmShrunk = 1,
  cmReduced1 = 2,
  cmReduced2 = 3,
  cmReduced3 = 4,
  cmReduced4 = 5,
  cmImploded = 6,
  cmDeflated = 8,
  cmEnhancedDeflated = 9, // Deflate64
  cmBzip2 = 12,
  cmLzma = 14,
};

// The fields the local header and its central-directory copy both hold, in the same order:
// from "version needed to extract" to the extra field's length.
inline constexpr std::size_t kZipSharedFieldsSize = 26;
struct ZipSharedHeaderFields {
  std::uint16_t VersionNeededToExtract = 0;
  std::uint16_t GeneralPurposeBitFlag = 0;
  std::uint16_t CompressionMethod = 0;
  std::uint16_t LastModFileTime = 0;
  std::uint16_t LastModFileDate = 0;
  std::uint32_t CRC32 = 0;
  std::uint32_t CompressedSize = 0;
  std::uint32_t UncompressedSize = 0;
  std::uint16_t FileNameLength = 0;
  std::uint16_t ExtraFieldLength = 0;

  void ReadShared(std::span<const std::byte, kZipSharedFieldsSize> b);
};

struct TAbZipLocalFileHeader : ZipSharedHeaderFields {
  // The 30 fixed bytes; nullopt when the signature is wrong.
  static std::optional<TAbZipLocalFileHeader>
  Parse(std::span<const std::byte, kZipLocalHeaderSize> b);
};

struct TAbZipDirectoryFileHeader : ZipSharedHeaderFields {
  std::uint16_t VersionMadeBy = 0;
  std::uint16_t FileCommentLength = 0;
  std::uint16_t DiskNumberStart = 0;
  std::uint16_t InternalFileAttributes = 0;
  std::uint32_t ExternalFileAttributes = 0;
  std::uint32_t RelativeOffset = 0;
  // Kept as read (not zero-terminated: std::string holds its own length).
  std::string FileName;
  std::string ExtraField;
  std::string FileComment;

  // The 46 fixed bytes; nullopt when the signature is wrong. The variable parts follow.
  static std::optional<TAbZipDirectoryFileHeader>
  Parse(std::span<const std::byte, kZipCentralHeaderSize> b);
  std::size_t VariableLength() const {
    return std::size_t{FileNameLength} + ExtraFieldLength + FileCommentLength;
  }
};

// The values a ZIP64 extra block stands in for. Each is present in the block only when its
// fixed field holds the escape value, and in this order.
struct Zip64Values {
  std::uint64_t UncompressedSize = 0;
  std::uint64_t CompressedSize = 0;
  std::uint64_t RelativeOffset = 0;
  std::uint32_t DiskNumberStart = 0;
};

// Replaces the escaped fields of values with those of the ZIP64 block in an extra field. A value
// the block does not hold (it is cut short, or missing) keeps its fixed field's reading.
void applyZip64Extra(std::string_view extraField, bool wantUncompressed, bool wantCompressed,
                     bool wantOffset, bool wantDisk, Zip64Values& values);

struct TAbZipDirectoryFileFooter {
  std::uint16_t DiskNumber = 0;
  std::uint16_t StartDiskNumber = 0;
  std::uint16_t EntriesOnDisk = 0;
  std::uint16_t TotalEntries = 0;
  std::uint32_t DirectorySize = 0;
  std::uint32_t DirectoryOffset = 0;
  std::uint16_t ZipfileCommentLength = 0;
  std::string ZipfileComment;

  static std::optional<TAbZipDirectoryFileFooter>
  Parse(std::span<const std::byte, kZipEndRecordSize> b);
};

// The ZIP64 end-of-central-directory record (its fixed part) and its locator.
struct TAbZip64DirectoryFileFooter {
  std::uint64_t RecordSize = 0; // of what follows this field
  std::uint16_t VersionMadeBy = 0;
  std::uint16_t VersionNeededToExtract = 0;
  std::uint32_t DiskNumber = 0;
  std::uint32_t StartDiskNumber = 0;
  std::uint64_t EntriesOnDisk = 0;
  std::uint64_t TotalEntries = 0;
  std::uint64_t DirectorySize = 0;
  std::uint64_t DirectoryOffset = 0;

  static std::optional<TAbZip64DirectoryFileFooter>
  Parse(std::span<const std::byte, kZip64EndRecordSize> b);
};

struct TAbZip64Locator {
  std::uint32_t RecordDisk = 0;
  std::uint64_t RecordOffset = 0;
  std::uint32_t TotalDisks = 0;

  static std::optional<TAbZip64Locator> Parse(std::span<const std::byte, kZip64LocatorSize> b);
};

} // namespace kyv::archive
