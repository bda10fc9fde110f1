// Builds small ISO 9660 images in memory, sector by sector, for the faults no producer writes
// (directory loops, lying lengths, files past the end) and the features that need gigabytes to
// come out of a producer (files of several extents).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::test {

class IsoBuilder {
public:
  static constexpr std::size_t kSector = 2048;
  static constexpr std::uint8_t kDirectory = 0x02;
  static constexpr std::uint8_t kMultiExtent = 0x80;

  // The system area and four descriptor sectors (16 to 19) are there from the start.
  IsoBuilder() : image_(20 * kSector) {}

  std::vector<std::byte>& image() { return image_; }

  // Appends sectors; returns the number of the first.
  std::uint32_t allocate(std::size_t sectors = 1) {
    const auto first = static_cast<std::uint32_t>(image_.size() / kSector);
    image_.resize(image_.size() + sectors * kSector);
    return first;
  }
  void write(std::uint64_t offset, std::span<const std::byte> bytes) {
    if (image_.size() < offset + bytes.size())
      image_.resize(offset + bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i)
      image_[offset + i] = bytes[i];
  }
  // Stores data in fresh sectors; returns the first.
  std::uint32_t file(std::string_view data) {
    const std::uint32_t block = allocate((data.size() + kSector - 1) / kSector);
    write(std::uint64_t{block} * kSector,
          {reinterpret_cast<const std::byte*>(data.data()), data.size()});
    return block;
  }

  // One directory record; name "\0" is the folder itself, "\1" its parent.
  static std::vector<std::byte> record(std::uint32_t extent, std::uint32_t length,
                                       std::uint8_t flags, std::string_view name,
                                       std::span<const std::byte> systemUse = {}) {
    const std::size_t pad = name.size() % 2 == 0 ? 1 : 0;
    std::vector<std::byte> r(33 + name.size() + pad + systemUse.size());
    r[0] = std::byte(r.size());
    putBoth32(r, 2, extent);
    putBoth32(r, 10, length);
    r[25] = std::byte(flags);
    r[28] = std::byte{1}; // volume sequence number 1
    r[31] = std::byte{1};
    r[32] = std::byte(name.size());
    for (std::size_t i = 0; i < name.size(); ++i)
      r[33 + i] = std::byte(name[i]);
    for (std::size_t i = 0; i < systemUse.size(); ++i)
      r[33 + name.size() + pad + i] = systemUse[i];
    return r;
  }
  // Joliet names are UCS-2 big-endian.
  static std::string ucs2(std::string_view ascii) {
    std::string out;
    for (const char c : ascii) {
      out.push_back('\0');
      out.push_back(c);
    }
    return out;
  }

  // Writes records one after another from block on; a record that would cross a sector starts
  // the next one, as the format wants.
  void directory(std::uint32_t block, const std::vector<std::vector<std::byte>>& records) {
    std::uint64_t at = std::uint64_t{block} * kSector;
    for (const auto& r : records) {
      if (at % kSector + r.size() > kSector)
        at += kSector - at % kSector;
      write(at, r);
      at += r.size();
    }
  }

  // A primary (type 1) or supplementary (type 2) descriptor in sector 16 + index.
  void descriptor(int index, std::uint8_t type, std::uint32_t rootBlock, std::uint32_t rootLength,
                  std::string_view escapes = {}) {
    std::vector<std::byte> vd = header(type);
    putBoth32(vd, 80, static_cast<std::uint32_t>(image_.size() / kSector));
    for (std::size_t i = 0; i < escapes.size(); ++i)
      vd[88 + i] = std::byte(escapes[i]);
    vd[128] = std::byte{0x00};
    vd[129] = std::byte{0x08};
    vd[130] = std::byte{0x08};
    const auto root = record(rootBlock, rootLength, kDirectory, std::string_view("\0", 1));
    for (std::size_t i = 0; i < root.size(); ++i)
      vd[156 + i] = root[i];
    write((16 + index) * kSector, vd);
  }
  void bootRecord(int index, std::uint32_t catalogBlock) {
    std::vector<std::byte> vd = header(0);
    const std::string_view id = "EL TORITO SPECIFICATION";
    for (std::size_t i = 0; i < id.size(); ++i)
      vd[7 + i] = std::byte(id[i]);
    for (int i = 0; i < 4; ++i)
      vd[71 + i] = std::byte(catalogBlock >> (8 * i));
    write((16 + index) * kSector, vd);
  }
  void terminator(int index) { write((16 + index) * kSector, header(255)); }

private:
  static std::vector<std::byte> header(std::uint8_t type) {
    std::vector<std::byte> vd(kSector);
    vd[0] = std::byte(type);
    const std::string_view id = "CD001";
    for (std::size_t i = 0; i < id.size(); ++i)
      vd[1 + i] = std::byte(id[i]);
    vd[6] = std::byte{1};
    return vd;
  }
  // Both-endian 32-bit field: little-endian then big-endian.
  static void putBoth32(std::vector<std::byte>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      b[at + i] = std::byte(v >> (8 * i));
      b[at + 7 - i] = std::byte(v >> (8 * i));
    }
  }

  std::vector<std::byte> image_;
};

} // namespace kyv::test
