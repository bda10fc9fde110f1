// A small compound-file writer for tests, from the published format: 512- or 4096-byte sectors,
// streams under 4096 bytes in the mini stream, each storage's children in a balanced tree
// ordered as the format orders names, the FAT listed by the header and, past 109 sectors, by
// DIFAT sectors. The layout of the last build is kept so that a test can damage a valid file in
// a known place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kyv::test {

class CfbWriter {
public:
  static constexpr std::uint32_t kRoot = 0;

  // sectorShift 9 (version 3) or 12 (version 4).
  explicit CfbWriter(unsigned sectorShift = 9);

  std::uint32_t AddStorage(std::uint32_t parent, const std::string& name);
  std::uint32_t AddStream(std::uint32_t parent, const std::string& name, std::string data);
  std::string Build();

  // Where the last Build put things.
  std::size_t SectorOffset(std::uint32_t sector) const {
    return (std::size_t{sector} + 1) << shift_;
  }
  std::size_t EntryOffset(std::uint32_t id) const;        // a directory entry
  std::size_t FatEntryOffset(std::uint32_t sector) const; // the FAT's entry for a sector
  std::size_t MiniFatEntryOffset(std::uint32_t miniSector) const;
  std::uint32_t StartOf(std::uint32_t id) const { return entries_.at(id).start; }
  std::uint32_t DirectoryStart() const { return dirStart_; }
  const std::vector<std::uint32_t>& FatSectors() const { return fatSectors_; }
  const std::vector<std::uint32_t>& DifatSectors() const { return difatSectors_; }

  static void Put16(std::string& file, std::size_t at, std::uint16_t value);
  static void Put32(std::string& file, std::size_t at, std::uint32_t value);
  static std::uint32_t Get32(const std::string& file, std::size_t at);
  // A name as the format stores it: UTF-16 little-endian.
  static std::string Utf16(const std::string& ascii, bool terminated = true);

private:
  struct Node {
    std::string name;
    std::uint8_t type = 0;
    std::string data;
    std::vector<std::uint32_t> children;
    std::uint32_t left = 0xFFFFFFFF, right = 0xFFFFFFFF, child = 0xFFFFFFFF;
    std::uint32_t start = 0xFFFFFFFE;
    std::uint64_t size = 0;
  };
  std::uint32_t Tree(std::vector<std::uint32_t>& sorted, std::size_t lo, std::size_t hi);

  unsigned shift_;
  std::vector<Node> entries_;
  std::uint32_t dirStart_ = 0;
  std::uint32_t miniFatStart_ = 0xFFFFFFFE;
  std::vector<std::uint32_t> fatSectors_;
  std::vector<std::uint32_t> difatSectors_;
};

} // namespace kyv::test
