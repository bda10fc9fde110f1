#include "archive/disk_image.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/tar_reader.h"
#include "base/endian.h"

namespace kyv::archive {

namespace {

constexpr std::size_t kIdOffset = 1;
constexpr std::size_t kIdLength = 5;
constexpr std::size_t kVersionOffset = 6;

// ECMA-119 (CD001), its boot descriptor (CDW02) and ECMA-167's sequence (BEA01 ... TEA01).
constexpr std::array<std::string_view, 7> kKnownIds{"CD001", "CDW02", "BEA01", "NSR02",
                                                    "NSR03", "TEA01", "BOOT2"};

std::string_view idAt(std::span<const std::byte> area, std::size_t offset) {
  if (!inRange(area.size(), offset, kVolumeDescriptorSize))
    return {};
  return volumeDescriptorId(area.subspan(offset, kVolumeDescriptorSize));
}

} // namespace

std::string_view volumeDescriptorId(std::span<const std::byte> sector) {
  if (sector.size() < kVersionOffset + 1)
    return {};
  const std::string_view id(reinterpret_cast<const char*>(sector.data()) + kIdOffset, kIdLength);
  for (const std::string_view known : kKnownIds)
    if (id == known)
      return known;
  return {};
}

bool probeIsoVolume(std::span<const std::byte> area) {
  if (idAt(area, 0) != "CD001")
    return false;
  const auto type = std::to_integer<unsigned>(area[0]);
  const auto version = std::to_integer<unsigned>(area[kVersionOffset]);
  // Boot record, primary, supplementary, partition, terminator; version 2 is the 1999 edition's
  // enhanced descriptor.
  return (type <= 3 || type == 255) && (version == 1 || version == 2);
}

bool probeUdfVolume(std::span<const std::byte> area) {
  for (const std::size_t step : {std::size_t{2048}, std::size_t{4096}}) {
    bool extended = false;
    for (std::size_t at = 0; !idAt(area, at).empty(); at += step) {
      const std::string_view id = idAt(area, at);
      if (id == "BEA01")
        extended = true;
      else if (id == "TEA01")
        extended = false;
      else if (extended && (id == "NSR02" || id == "NSR03"))
        return true;
    }
  }
  return false;
}

void TAbImageArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  const auto* item = dynamic_cast<const TAbImageItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  writeImageItem(*Stream(), *item, stream);
}

void writeImageItem(ByteSource& image, const TAbImageItem& item, ByteSink& sink) {
  if (item.IsEmbedded) {
    if (!item.Embedded.empty() && !sink.write(item.Embedded))
      throw EAbWriteRefused();
    return;
  }
  static const std::vector<std::byte> zeros(64 * 1024);
  const std::uint64_t end = image.size();
  for (const ImageExtent& extent : item.Extents) {
    if (extent.zeros) {
      for (std::uint64_t left = extent.length; left > 0;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        if (!sink.write(std::span(zeros).first(n)))
          throw EAbWriteRefused();
        left -= n;
      }
      continue;
    }
    const std::uint64_t inside =
        extent.offset >= end ? 0 : std::min(extent.length, end - extent.offset);
    copySourceRange(image, extent.offset, inside, sink);
    if (inside < extent.length)
      throw EAbException("The member runs past the end of the image", AbCode::ReadError,
                         ErrorKind::UnexpectedEnd);
  }
}

ExtentKey extentKey(const TAbImageItem& item) {
  ExtentKey key;
  for (const ImageExtent& extent : item.Extents) {
    // Zero runs have no place; mark them so that they never join a stored run.
    const std::uint64_t offset = extent.zeros ? UINT64_MAX : extent.offset;
    if (!key.empty() && !extent.zeros && key.back().first != UINT64_MAX &&
        key.back().first + key.back().second == offset)
      key.back().second += extent.length;
    else
      key.emplace_back(offset, extent.length);
  }
  return key;
}

std::string safeComponent(std::string name) {
  std::replace(name.begin(), name.end(), '/', '_');
  std::replace(name.begin(), name.end(), '\\', '_');
  std::replace(name.begin(), name.end(), '\0', '_');
  if (name.empty() || name == "." || name == "..")
    return "_";
  return name;
}

} // namespace kyv::archive

namespace kyv::archive {
std::vector<std::byte> readVolumeArea(ByteSource& image) {
  std::vector<std::byte> area;
  if (image.size() <= kVolumeAreaOffset || !image.seek(kVolumeAreaOffset))
    return area;
  area.resize(static_cast<std::size_t>(
      std::min<std::uint64_t>(kVolumeAreaBytes, image.size() - kVolumeAreaOffset)));
  area.resize(image.read(area));
  return area;
}
} // namespace kyv::archive
