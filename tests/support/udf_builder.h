// Builds small UDF images in memory (2048-byte sectors, one partition, a type 1 map), for what
// producers do not write on purpose: loops, damaged descriptors, files past the end, embedded
// data, chains of allocation descriptors. Descriptors get a correct tag (checksum and CRC) unless
// a test spoils it afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::test {

class UdfBuilder {
public:
  static constexpr std::size_t kSector = 2048;
  static constexpr std::uint32_t kPartitionStart = 300; // sector of partition block 0
  static constexpr std::uint8_t kDirectory = 4;
  static constexpr std::uint8_t kFile = 5;
  enum Form : std::uint8_t { Short = 0, Long = 1, Embedded = 3 };

  // Recognition sequence, anchor at 256, main sequence at 32 (partition, logical volume,
  // terminator), file set at partition block 0 naming the root entry at block 1.
  explicit UdfBuilder(std::uint32_t partitionBlocks = 64)
      : image_((kPartitionStart + partitionBlocks) * kSector) {
    const char* ids[] = {"BEA01", "NSR02", "TEA01"};
    for (int i = 0; i < 3; ++i) {
      std::byte* p = &image_[(16 + i) * kSector];
      for (int c = 0; c < 5; ++c)
        p[1 + c] = std::byte(ids[i][c]);
      p[6] = std::byte{1};
    }
    auto anchor = descriptor(2, 256, 512);
    put32(anchor, 16, 16 * kSector);
    put32(anchor, 20, 32);
    putSector(256, anchor);
    auto pd = descriptor(5, 32, 512);
    put32(pd, 188, kPartitionStart);
    put32(pd, 192, partitionBlocks);
    putSector(32, pd);
    auto lvd = descriptor(6, 33, 446);
    put32(lvd, 212, kSector);
    put32(lvd, 248, kSector); // file set: one block at partition block 0
    put32(lvd, 264, 6);
    put32(lvd, 268, 1);
    lvd[440] = std::byte{1};
    lvd[441] = std::byte{6};
    lvd[442] = std::byte{1};
    putSector(33, lvd);
    putSector(34, descriptor(8, 34, 16));
    auto fsd = descriptor(256, 0, 512);
    put32(fsd, 400, kSector);
    put32(fsd, 404, 1); // root entry at block 1
    putBlock(0, fsd);
  }

  std::vector<std::byte>& image() { return image_; }
  std::byte* block(std::uint32_t lbn) { return &image_[(kPartitionStart + lbn) * kSector]; }

  // A file entry at block lbn with the given allocation descriptors (or embedded data).
  void entry(std::uint32_t lbn, std::uint8_t type, Form form, std::uint64_t size,
             const std::vector<std::byte>& area) {
    auto fe = descriptor(261, lbn, 176 + area.size());
    fe[16 + 11] = std::byte(type);
    fe[16 + 18] = std::byte(form);
    for (int i = 0; i < 8; ++i)
      fe[56 + i] = std::byte(size >> (8 * i));
    put32(fe, 172, static_cast<std::uint32_t>(area.size()));
    for (std::size_t i = 0; i < area.size(); ++i)
      fe[176 + i] = area[i];
    seal(fe);
    putBlock(lbn, fe);
  }
  // Short descriptors: (length, block) pairs; type in the length's top two bits.
  static std::vector<std::byte>
  shortAds(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& ads) {
    std::vector<std::byte> out(ads.size() * 8);
    for (std::size_t i = 0; i < ads.size(); ++i) {
      put32(out, i * 8, ads[i].first);
      put32(out, i * 8 + 4, ads[i].second);
    }
    return out;
  }
  // A file identifier naming the entry at icb; name in 8-bit compressed unicode unless wide.
  static std::vector<std::byte> fid(std::uint8_t characteristics, std::uint32_t icb,
                                    std::string_view name, bool wide = false) {
    std::vector<std::byte> id;
    if (!name.empty()) {
      id.push_back(std::byte(wide ? 16 : 8));
      for (const char c : name) {
        if (wide)
          id.push_back(std::byte{0});
        id.push_back(std::byte(c));
      }
    }
    const std::size_t size = (38 + id.size() + 3) / 4 * 4;
    auto f = descriptor(257, 0, size);
    f[18] = std::byte(characteristics);
    f[19] = std::byte(id.size());
    put32(f, 20, kSector);
    put32(f, 24, icb);
    for (std::size_t i = 0; i < id.size(); ++i)
      f[38 + i] = id[i];
    f.resize(size);
    seal(f);
    return f;
  }
  // A folder whose identifiers are embedded in its entry: the parent first, then the children.
  void folder(std::uint32_t lbn, std::uint32_t parent,
              const std::vector<std::vector<std::byte>>& children) {
    std::vector<std::byte> data = fid(0x0A, parent, "");
    for (const auto& c : children)
      data.insert(data.end(), c.begin(), c.end());
    entry(lbn, kDirectory, Embedded, data.size(), data);
  }
  void write(std::uint32_t lbn, std::string_view data) {
    for (std::size_t i = 0; i < data.size(); ++i)
      block(lbn)[i] = std::byte(data[i]);
  }

  // Recomputes a descriptor's CRC (over all of it after the tag) and checksum.
  static void seal(std::vector<std::byte>& d) {
    const std::size_t crcLength = d.size() - 16;
    std::uint16_t crc = 0;
    for (std::size_t i = 16; i < d.size(); ++i) {
      crc ^= static_cast<std::uint16_t>(std::to_integer<unsigned>(d[i]) << 8);
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    d[8] = std::byte(crc);
    d[9] = std::byte(crc >> 8);
    d[10] = std::byte(crcLength);
    d[11] = std::byte(crcLength >> 8);
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i)
      if (i != 4)
        sum += std::to_integer<unsigned>(d[i]);
    d[4] = std::byte(sum);
  }

private:
  static std::vector<std::byte> descriptor(std::uint16_t id, std::uint32_t location,
                                           std::size_t size) {
    std::vector<std::byte> d(size);
    d[0] = std::byte(id);
    d[1] = std::byte(id >> 8);
    d[2] = std::byte{2}; // descriptor version
    put32(d, 12, location);
    seal(d);
    return d;
  }
  static void put32(std::vector<std::byte>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
      b[at + i] = std::byte(v >> (8 * i));
  }
  void putSector(std::uint32_t sector, std::vector<std::byte> d) {
    seal(d);
    for (std::size_t i = 0; i < d.size(); ++i)
      image_[sector * kSector + i] = d[i];
  }
  void putBlock(std::uint32_t lbn, std::vector<std::byte> d) {
    putSector(kPartitionStart + lbn, std::move(d));
  }

  std::vector<std::byte> image_;
};

} // namespace kyv::test
