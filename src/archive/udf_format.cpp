#include "archive/udf_format.h"

#include <algorithm>
#include <array>

#include "base/endian.h"
#include "platform/codepages.h"

namespace kyv::archive::udf {

namespace {

std::uint8_t byteAt(std::span<const std::byte> b, std::size_t at) {
  return std::to_integer<std::uint8_t>(b[at]);
}

constexpr std::array<std::uint16_t, 256> makeCrcTable() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned crc = i << 8;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1;
    table[i] = static_cast<std::uint16_t>(crc);
  }
  return table;
}
constexpr auto kCrcTable = makeCrcTable();

// Fixed places (ECMA-167 part 3 and 4).
constexpr std::size_t kTagChecksum = 4;
constexpr std::size_t kTagCrc = 8;
constexpr std::size_t kTagCrcLength = 10;
constexpr std::size_t kTagLocation = 12;
constexpr std::size_t kAnchorMain = 16;
constexpr std::size_t kPointerNext = 20;
constexpr std::size_t kPdNumber = 22;
constexpr std::size_t kPdStart = 188;
constexpr std::size_t kPdLength = 192;
constexpr std::size_t kLvdBlockSize = 212;
constexpr std::size_t kLvdFileSet = 248;
constexpr std::size_t kLvdMapTableLength = 264;
constexpr std::size_t kLvdMapCount = 268;
constexpr std::size_t kLvdMaps = 440;
constexpr std::size_t kFsdRoot = 400;
constexpr std::size_t kIcbFileType = 16 + 11;
constexpr std::size_t kIcbFlags = 16 + 18;
constexpr std::size_t kFeSize = 56;
constexpr std::size_t kFeEaLength = 168;
constexpr std::size_t kFeAdLength = 172;
constexpr std::size_t kFeAreas = 176;
constexpr std::size_t kEfeEaLength = 208;
constexpr std::size_t kEfeAdLength = 212;
constexpr std::size_t kEfeAreas = 216;
constexpr std::size_t kAedLength = 20;
constexpr std::size_t kAedAreas = 24;
constexpr std::size_t kFidCharacteristics = 18;
constexpr std::size_t kFidNameLength = 19;
constexpr std::size_t kFidIcb = 20;
constexpr std::size_t kFidUseLength = 36;
constexpr std::size_t kFidUse = 38;

} // namespace

std::uint16_t crc16(std::span<const std::byte> data) {
  std::uint16_t crc = 0;
  for (const std::byte b : data)
    crc = static_cast<std::uint16_t>((crc << 8) ^
                                     kCrcTable[((crc >> 8) ^ std::to_integer<unsigned>(b)) & 0xFF]);
  return crc;
}

std::optional<std::uint16_t> checkedTag(std::span<const std::byte> bytes,
                                        std::optional<std::uint32_t> location) {
  if (bytes.size() < kTagSize)
    return std::nullopt;
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < kTagSize; ++i)
    if (i != kTagChecksum)
      sum = static_cast<std::uint8_t>(sum + byteAt(bytes, i));
  if (sum != byteAt(bytes, kTagChecksum))
    return std::nullopt;
  const std::size_t crcLength = loadLe16(bytes.data() + kTagCrcLength);
  if (!inRange(bytes.size(), kTagSize, crcLength) ||
      crc16(bytes.subspan(kTagSize, crcLength)) != loadLe16(bytes.data() + kTagCrc))
    return std::nullopt;
  if (location && loadLe32(bytes.data() + kTagLocation) != *location)
    return std::nullopt;
  return loadLe16(bytes.data());
}

LongAd parseLongAd(const std::byte* p) {
  const std::uint32_t raw = loadLe32(p);
  return {
      raw & 0x3FFFFFFF, static_cast<std::uint8_t>(raw >> 30), {loadLe32(p + 4), loadLe16(p + 8)}};
}

std::optional<Extent> parseAnchor(std::span<const std::byte> sector) {
  if (sector.size() < kAnchorMain + 8)
    return std::nullopt;
  return Extent{loadLe32(sector.data() + kAnchorMain), loadLe32(sector.data() + kAnchorMain + 4)};
}

Extent parsePointer(std::span<const std::byte> sector) {
  return {loadLe32(sector.data() + kPointerNext), loadLe32(sector.data() + kPointerNext + 4)};
}

PartitionDescriptor parsePartition(std::span<const std::byte> sector) {
  return {loadLe16(sector.data() + kPdNumber), loadLe32(sector.data() + kPdStart),
          loadLe32(sector.data() + kPdLength)};
}

std::optional<LogicalVolume> parseLogicalVolume(std::span<const std::byte> sector) {
  LogicalVolume lv;
  lv.blockSize = loadLe32(sector.data() + kLvdBlockSize);
  lv.fileSet = parseLongAd(sector.data() + kLvdFileSet);
  const std::uint32_t tableLength = loadLe32(sector.data() + kLvdMapTableLength);
  const std::uint32_t count = loadLe32(sector.data() + kLvdMapCount);
  if (!inRange(sector.size(), kLvdMaps, tableLength))
    return std::nullopt;
  const std::span<const std::byte> table = sector.subspan(kLvdMaps, tableLength);
  std::size_t at = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!inRange(table.size(), at, 2))
      return std::nullopt;
    const std::uint8_t type = byteAt(table, at);
    const std::size_t length = byteAt(table, at + 1);
    if (length < 6 || !inRange(table.size(), at, length))
      return std::nullopt;
    const std::span<const std::byte> map = table.subspan(at, length);
    at += length;
    PartitionMap pm;
    if (type == 1) {
      pm.partition = loadLe16(map.data() + 4);
    } else if (type == 2 && length >= 64) {
      const std::string_view id(reinterpret_cast<const char*>(map.data()) + 5, 22);
      pm.partition = loadLe16(map.data() + 38);
      pm.metadata = id.starts_with("UDF Metadata Partition");
      pm.virtualPartition = id.starts_with("UDF Virtual Partition");
      if (pm.metadata)
        pm.metadataFile = loadLe32(map.data() + 40);
      // A sparable partition reads like a plain one on an image that needed no spare packets.
    } else {
      return std::nullopt;
    }
    lv.maps.push_back(pm);
  }
  return lv;
}

LongAd parseFileSetRoot(std::span<const std::byte> sector) {
  return parseLongAd(sector.data() + kFsdRoot);
}

std::optional<FileEntry> parseFileEntry(std::span<const std::byte> block, std::uint16_t tagId) {
  const bool extended = tagId == tag::kExtendedFileEntry;
  const std::size_t areas = extended ? kEfeAreas : kFeAreas;
  if (block.size() < areas)
    return std::nullopt;
  FileEntry fe;
  fe.fileType = byteAt(block, kIcbFileType);
  fe.form = static_cast<AdForm>(loadLe16(block.data() + kIcbFlags) & 0x07);
  if (static_cast<unsigned>(fe.form) > 3)
    return std::nullopt;
  fe.size = loadLe64(block.data() + kFeSize);
  const std::uint64_t ea = loadLe32(block.data() + (extended ? kEfeEaLength : kFeEaLength));
  const std::uint64_t ad = loadLe32(block.data() + (extended ? kEfeAdLength : kFeAdLength));
  if (!inRange(block.size(), areas, ea) || !inRange(block.size(), areas + ea, ad))
    return std::nullopt;
  fe.descriptors =
      block.subspan(areas + static_cast<std::size_t>(ea), static_cast<std::size_t>(ad));
  return fe;
}

std::vector<AllocationDescriptor> parseAllocations(std::span<const std::byte> area, AdForm form,
                                                   std::uint16_t sameAs) {
  std::vector<AllocationDescriptor> out;
  const std::size_t size = form == AdForm::Short ? 8 : form == AdForm::Long ? 16 : 20;
  for (std::size_t at = 0; inRange(area.size(), at, size); at += size) {
    const std::byte* p = area.data() + at;
    const std::uint32_t raw = loadLe32(p);
    AllocationDescriptor d{raw & 0x3FFFFFFF, static_cast<std::uint8_t>(raw >> 30), {}};
    if (d.length == 0)
      break;
    if (form == AdForm::Short)
      d.where = {loadLe32(p + 4), sameAs};
    else if (form == AdForm::Long)
      d.where = {loadLe32(p + 4), loadLe16(p + 8)};
    else
      d.where = {loadLe32(p + 12), loadLe16(p + 16)};
    out.push_back(d);
    if (d.type == 3)
      break; // the rest is in the extent it names
  }
  return out;
}

std::optional<std::span<const std::byte>> allocationExtentArea(std::span<const std::byte> block) {
  if (block.size() < kAedAreas)
    return std::nullopt;
  const std::uint32_t length = loadLe32(block.data() + kAedLength);
  if (!inRange(block.size(), kAedAreas, length))
    return std::nullopt;
  return block.subspan(kAedAreas, length);
}

std::optional<FileIdentifier> parseFileIdentifier(std::span<const std::byte> bytes) {
  if (bytes.size() < kFidUse)
    return std::nullopt;
  FileIdentifier fid;
  fid.characteristics = byteAt(bytes, kFidCharacteristics);
  const std::size_t nameLength = byteAt(bytes, kFidNameLength);
  const std::size_t useLength = loadLe16(bytes.data() + kFidUseLength);
  fid.size = (kFidUse + useLength + nameLength + 3) / 4 * 4;
  if (!inRange(bytes.size(), kFidUse + useLength, nameLength))
    return std::nullopt;
  // The tag's CRC covers what follows the tag, as far as the descriptor goes (the padding may be
  // missing at the end of a folder).
  if (checkedTag(bytes.first(std::min(fid.size, bytes.size())), std::nullopt) !=
      tag::kFileIdentifier)
    return std::nullopt;
  fid.icb = parseLongAd(bytes.data() + kFidIcb);
  fid.name = bytes.subspan(kFidUse + useLength, nameLength);
  return fid;
}

std::string cs0Name(std::span<const std::byte> name) {
  if (name.empty())
    return {};
  const std::uint8_t id = byteAt(name, 0);
  std::string out;
  if (id == 8 || id == 254) {
    for (std::size_t i = 1; i < name.size(); ++i) {
      const std::uint8_t c = byteAt(name, i);
      out.push_back(c < 0x80 ? static_cast<char>(c)
                             : static_cast<char>(platform::unicodeToCp1251(c)));
    }
  } else if (id == 16 || id == 255) {
    for (std::size_t i = 1; i + 1 < name.size(); i += 2) {
      const char32_t c = (char32_t{byteAt(name, i)} << 8) | byteAt(name, i + 1);
      out.push_back(c < 0x80 ? static_cast<char>(c)
                             : static_cast<char>(platform::unicodeToCp1251(c)));
    }
  }
  return out;
}

} // namespace kyv::archive::udf
