#include "archive/iso_format.h"

#include <string_view>

#include "archive/disk_image.h"
#include "base/endian.h"
#include "platform/codepages.h"

namespace kyv::archive::iso {

namespace {

constexpr std::size_t kRecLength = 0;
constexpr std::size_t kRecAttributeLength = 1;
constexpr std::size_t kRecExtent = 2;
constexpr std::size_t kRecDataLength = 10;
constexpr std::size_t kRecFlags = 25;
constexpr std::size_t kRecUnitSize = 26;
constexpr std::size_t kRecGapSize = 27;
constexpr std::size_t kRecNameLength = 32;
constexpr std::size_t kRecName = 33;

constexpr std::size_t kVdVersion = 6;
constexpr std::size_t kVdVolumeBlocks = 80;
constexpr std::size_t kVdEscapes = 88;
constexpr std::size_t kVdBlockSize = 128;
constexpr std::size_t kVdRoot = 156;
constexpr std::size_t kBootSystemId = 7;
constexpr std::size_t kBootCatalog = 71;
constexpr std::string_view kElTorito = "EL TORITO SPECIFICATION";

constexpr std::size_t kCatalogEntry = 32;

std::uint8_t byteAt(std::span<const std::byte> b, std::size_t at) {
  return std::to_integer<std::uint8_t>(b[at]);
}

std::string_view textOf(std::span<const std::byte> b) {
  return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// A ";1" version suffix goes, and so does the dot that a name without extension ends with.
std::string_view withoutVersion(std::string_view name) {
  const std::size_t semicolon = name.rfind(';');
  if (semicolon != std::string_view::npos &&
      name.find_first_not_of("0123456789", semicolon + 1) == std::string_view::npos)
    name = name.substr(0, semicolon);
  if (name.size() > 1 && name.back() == '.')
    name.remove_suffix(1);
  return name;
}

} // namespace

bool DirRecord::isSelfOrParent() const {
  return name.size() == 1 && (name[0] == std::byte{0} || name[0] == std::byte{1});
}

std::optional<DirRecord> parseDirRecord(std::span<const std::byte> bytes) {
  if (bytes.empty())
    return std::nullopt;
  DirRecord r;
  r.recordLength = byteAt(bytes, kRecLength);
  if (r.recordLength < kMinRecordSize || r.recordLength > bytes.size())
    return std::nullopt;
  const std::size_t nameLength = byteAt(bytes, kRecNameLength);
  if (nameLength == 0 || !inRange(r.recordLength, kRecName, nameLength))
    return std::nullopt;
  const std::span<const std::byte> record = bytes.first(r.recordLength);
  r.attributeBlocks = byteAt(record, kRecAttributeLength);
  r.extent = loadLe32(record.data() + kRecExtent);
  r.dataLength = loadLe32(record.data() + kRecDataLength);
  r.flags = byteAt(record, kRecFlags);
  r.unitSize = byteAt(record, kRecUnitSize);
  r.gapSize = byteAt(record, kRecGapSize);
  r.name = record.subspan(kRecName, nameLength);
  // A name of even length is followed by one pad byte.
  const std::size_t use = kRecName + nameLength + (nameLength % 2 == 0 ? 1 : 0);
  if (use < r.recordLength)
    r.systemUse = record.subspan(use);
  return r;
}

std::optional<VolumeDescriptor> parseVolumeDescriptor(std::span<const std::byte> sector) {
  if (sector.size() < kVolumeDescriptorSize || volumeDescriptorId(sector) != "CD001")
    return std::nullopt;
  VolumeDescriptor vd;
  vd.type = byteAt(sector, 0);
  vd.version = byteAt(sector, kVdVersion);
  if (vd.type == kBootRecord) {
    const std::string_view system = textOf(sector.subspan(kBootSystemId, kElTorito.size()));
    vd.elTorito = system == kElTorito;
    vd.bootCatalog = loadLe32(sector.data() + kBootCatalog);
    return vd;
  }
  if (vd.type != kPrimary && vd.type != kSupplementary)
    return vd;
  vd.volumeBlocks = loadLe32(sector.data() + kVdVolumeBlocks);
  vd.blockSize = loadLe16(sector.data() + kVdBlockSize);
  if (vd.type == kSupplementary && vd.version == 1) {
    const std::string_view escapes = textOf(sector.subspan(kVdEscapes, 3));
    vd.joliet = escapes == "%/@" || escapes == "%/C" || escapes == "%/E";
  }
  vd.root = parseDirRecord(sector.subspan(kVdRoot, kMinRecordSize));
  return vd;
}

std::string plainName(std::span<const std::byte> name) {
  const std::string_view stored = withoutVersion(textOf(name));
  std::string out;
  out.reserve(stored.size());
  for (const char c : stored)
    out.push_back(
        static_cast<unsigned char>(c) < 0x80
            ? c
            : static_cast<char>(platform::unicodeToCp1251(static_cast<unsigned char>(c))));
  return out;
}

std::string jolietName(std::span<const std::byte> name) {
  std::u32string units;
  for (std::size_t i = 0; i + 1 < name.size(); i += 2) {
    const char32_t unit = (char32_t{byteAt(name, i)} << 8) | byteAt(name, i + 1);
    // Surrogate pairs (UTF-16 written where UCS-2 was asked for) are joined.
    if (!units.empty() && unit >= 0xDC00 && unit < 0xE000 && units.back() >= 0xD800 &&
        units.back() < 0xDC00)
      units.back() = 0x10000 + ((units.back() - 0xD800) << 10) + (unit - 0xDC00);
    else
      units.push_back(unit);
  }
  std::string narrow;
  for (const char32_t c : units)
    narrow.push_back(c < 0x80 ? static_cast<char>(c)
                              : static_cast<char>(platform::unicodeToCp1251(c)));
  return std::string(withoutVersion(narrow));
}

void parseSystemUse(std::span<const std::byte> area, SystemUse& use) {
  constexpr std::size_t kHeader = 4;
  std::size_t at = 0;
  while (inRange(area.size(), at, kHeader)) {
    const std::string_view sig = textOf(area.subspan(at, 2));
    const std::size_t length = byteAt(area, at + 2);
    if (length < kHeader || !inRange(area.size(), at, length))
      break;
    const std::span<const std::byte> e = area.subspan(at, length);
    at += length;
    if (sig == "ST")
      break;
    if (sig == "SP" && length >= 7 && byteAt(e, 4) == 0xBE && byteAt(e, 5) == 0xEF) {
      use.sharingProtocol = true;
      use.skip = byteAt(e, 6);
    } else if (sig == "CE" && length >= 28) {
      use.continuation = SystemUse::Continuation{loadLe32(e.data() + 4), loadLe32(e.data() + 12),
                                                 loadLe32(e.data() + 20)};
    } else if (sig == "NM" && length >= 5) {
      const std::uint8_t flags = byteAt(e, 4);
      // The names of the folder itself and of its parent are not names of this record.
      if ((flags & 0x06) != 0)
        continue;
      if (!use.hasName || use.nameOpen) {
        use.name.append(textOf(e.subspan(5)));
        use.hasName = true;
        use.nameOpen = (flags & 0x01) != 0;
      }
    } else if (sig == "CL" && length >= 12) {
      use.childLink = loadLe32(e.data() + 4);
    } else if (sig == "RE") {
      use.relocated = true;
    }
  }
}

std::optional<std::vector<BootImage>> parseBootCatalog(std::span<const std::byte> catalog) {
  if (catalog.size() < 2 * kCatalogEntry || byteAt(catalog, 0) != 1 ||
      byteAt(catalog, 30) != 0x55 || byteAt(catalog, 31) != 0xAA)
    return std::nullopt;
  std::uint16_t sum = 0;
  for (std::size_t i = 0; i < kCatalogEntry; i += 2)
    sum = static_cast<std::uint16_t>(sum + loadLe16(catalog.data() + i));
  if (sum != 0)
    return std::nullopt;

  std::vector<BootImage> images;
  const auto addEntry = [&](std::span<const std::byte> e) {
    const std::uint8_t indicator = byteAt(e, 0);
    if (indicator != 0x88 && indicator != 0x00)
      return;
    BootImage image;
    image.media = byteAt(e, 1) & 0x0F;
    image.block = loadLe32(e.data() + 8);
    const std::uint64_t sectors = loadLe16(e.data() + 6);
    // Floppy emulation loads a whole diskette of its kind; the others say how many 512-byte
    // sectors the firmware loads.
    switch (image.media) {
    case 1:
      image.size = 1228800;
      break;
    case 2:
      image.size = 1474560;
      break;
    case 3:
      image.size = 2949120;
      break;
    default:
      image.size = (sectors == 0 ? 1 : sectors) * 512;
      break;
    }
    if (image.block != 0)
      images.push_back(image);
  };
  addEntry(catalog.subspan(kCatalogEntry, kCatalogEntry));
  std::size_t at = 2 * kCatalogEntry;
  while (inRange(catalog.size(), at, kCatalogEntry)) {
    const std::uint8_t header = byteAt(catalog, at);
    if (header != 0x90 && header != 0x91)
      break;
    std::size_t count = loadLe16(catalog.data() + at + 2);
    at += kCatalogEntry;
    while (count > 0 && inRange(catalog.size(), at, kCatalogEntry)) {
      const std::span<const std::byte> e = catalog.subspan(at, kCatalogEntry);
      at += kCatalogEntry;
      // Extension records (44) continue the entry before them.
      if (byteAt(e, 0) == 0x44)
        continue;
      addEntry(e);
      --count;
    }
    if (header == 0x91)
      break;
  }
  return images;
}

} // namespace kyv::archive::iso
