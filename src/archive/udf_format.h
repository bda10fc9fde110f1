// UDF (ECMA-167 with the OSTA profile) structures: descriptor tags with their checksum and CRC,
// the anchor, the volume descriptors the reader needs, file entries, allocation descriptors,
// file identifiers and their compressed-unicode names. Pure parsing of bytes already read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kyv::archive::udf {

namespace tag {
inline constexpr std::uint16_t kPrimaryVolume = 1;
inline constexpr std::uint16_t kAnchor = 2;
inline constexpr std::uint16_t kPointer = 3;
inline constexpr std::uint16_t kPartition = 5;
inline constexpr std::uint16_t kLogicalVolume = 6;
inline constexpr std::uint16_t kTerminating = 8;
inline constexpr std::uint16_t kFileSet = 256;
inline constexpr std::uint16_t kFileIdentifier = 257;
inline constexpr std::uint16_t kAllocationExtent = 258;
inline constexpr std::uint16_t kFileEntry = 261;
inline constexpr std::uint16_t kExtendedFileEntry = 266;
} // namespace tag

inline constexpr std::size_t kTagSize = 16;

// CRC-16 of the descriptor bodies: the CCITT polynomial x^16 + x^12 + x^5 + 1, starting at 0.
std::uint16_t crc16(std::span<const std::byte> data);

// The tag identifier of the descriptor at the start of bytes when its checksum holds, its CRC
// covers bytes that are there and matches, and it says it lies at location; else nothing.
std::optional<std::uint16_t> checkedTag(std::span<const std::byte> bytes,
                                        std::optional<std::uint32_t> location);

// A logical block in one of the volume's partitions.
struct LbAddr {
  std::uint32_t block = 0;
  std::uint16_t partition = 0;
  bool operator<(const LbAddr& o) const {
    return partition != o.partition ? partition < o.partition : block < o.block;
  }
};
struct LongAd {
  std::uint32_t length = 0; // bytes, the two type bits removed
  std::uint8_t type = 0;
  LbAddr where;
};
LongAd parseLongAd(const std::byte* p);

struct Extent {
  std::uint32_t length = 0;
  std::uint32_t location = 0;
};
// Main volume descriptor sequence as the anchor points to it.
std::optional<Extent> parseAnchor(std::span<const std::byte> sector);
// The next extent of the sequence (a volume descriptor pointer).
Extent parsePointer(std::span<const std::byte> sector);

struct PartitionDescriptor {
  std::uint16_t number = 0;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
};
PartitionDescriptor parsePartition(std::span<const std::byte> sector);

// A partition map: type 1 names a partition; the metadata partition of UDF 2.50 says where its
// metadata file lies in the partition it names.
struct PartitionMap {
  std::uint16_t partition = 0;
  bool metadata = false;
  bool virtualPartition = false;
  std::uint32_t metadataFile = 0;
};
struct LogicalVolume {
  std::uint32_t blockSize = 0;
  LongAd fileSet;
  std::vector<PartitionMap> maps;
};
std::optional<LogicalVolume> parseLogicalVolume(std::span<const std::byte> sector);

// The root folder's ICB in a file set descriptor.
LongAd parseFileSetRoot(std::span<const std::byte> sector);

// File types of an ICB tag.
inline constexpr std::uint8_t kTypeDirectory = 4;
inline constexpr std::uint8_t kTypeFile = 5;
inline constexpr std::uint8_t kTypeRealTime = 249;

// Allocation descriptor forms of an ICB tag's flags.
enum class AdForm : std::uint8_t { Short = 0, Long = 1, Extended = 2, Embedded = 3 };

struct FileEntry {
  std::uint8_t fileType = 0;
  AdForm form = AdForm::Short;
  std::uint64_t size = 0;                 // information length
  std::span<const std::byte> descriptors; // the allocation descriptors (or embedded data)
};
// A file entry or extended file entry whose tag was checked; nothing when its lengths do not fit.
std::optional<FileEntry> parseFileEntry(std::span<const std::byte> block, std::uint16_t tagId);

// One allocation descriptor: type 0 recorded, 1 allocated only, 2 neither (both read as zeros),
// 3 where the descriptors go on. The partition is the file entry's own for short ones.
struct AllocationDescriptor {
  std::uint32_t length = 0;
  std::uint8_t type = 0;
  LbAddr where;
};
// The descriptors of an area, up to the first of length zero; sameAs gives the partition of
// short ones.
std::vector<AllocationDescriptor> parseAllocations(std::span<const std::byte> area, AdForm form,
                                                   std::uint16_t sameAs);
// The descriptors of an allocation extent descriptor (a block after type 3), or nothing.
std::optional<std::span<const std::byte>> allocationExtentArea(std::span<const std::byte> block);

struct FileIdentifier {
  std::size_t size = 0; // bytes the identifier takes, padding included
  std::uint8_t characteristics = 0;
  LongAd icb;
  std::span<const std::byte> name;
  bool isDirectory() const { return (characteristics & 0x02) != 0; }
  bool isDeleted() const { return (characteristics & 0x04) != 0; }
  bool isParent() const { return (characteristics & 0x08) != 0; }
};
// The identifier at the start of bytes, its tag checked (not its location: a folder's bytes need
// not lie in one run); nothing when it is damaged or cut off.
std::optional<FileIdentifier> parseFileIdentifier(std::span<const std::byte> bytes);

// A compressed-unicode name (8 or 16 bits a character) in the system's narrow code page.
std::string cs0Name(std::span<const std::byte> name);

} // namespace kyv::archive::udf
