// Test-only builder of compiled-help containers, laid out as the format describes them: header,
// one directory listing chunk (optionally after an index chunk), then content section 0 with the
// plain files, the name list and, for the compressed section, its control data, reset table and
// LZX content (uncompressed LZX blocks, so any content can be stored).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/endian.h"
#include "lzx_test_writer.h"
#include "test_support.h"

namespace kyv::test {

// Positions in a built container.
inline constexpr std::size_t kDirOffset = 120;       // ITSP header
inline constexpr std::size_t kFirstChunk = 120 + 84; // first directory chunk
inline constexpr std::uint32_t kChunkSize = 4096;

struct Entry {
  std::string name;
  std::uint32_t section;
  std::uint32_t offset;
  std::uint32_t length;
};

inline void putEncInt(std::vector<std::byte>& out, std::uint64_t v) {
  std::vector<std::byte> groups;
  do {
    groups.push_back(static_cast<std::byte>(v & 0x7F));
    v >>= 7;
  } while (v != 0);
  for (std::size_t i = groups.size(); i-- > 0;)
    out.push_back(i == 0 ? groups[i] : (groups[i] | std::byte{0x80}));
}

inline void putLe32(std::vector<std::byte>& out, std::size_t at, std::uint32_t v) {
  storeLe32(out.data() + at, v);
}

// Builds a container: header, directory chunks, then content section 0 holding the plain files,
// the name list, and for the compressed section its control data, reset table and LZX content.
struct ChmBuilder {
  std::vector<std::pair<std::string, std::string>> plainFiles;      // in section 0
  std::vector<std::pair<std::string, std::string>> compressedFiles; // in section 1
  std::uint32_t windowUnits = 2;                                    // 64 KB
  bool nameList = true;
  std::uint16_t nameCount = 2;
  bool indexChunkFirst = false;
  std::uint32_t uncompressedLengthDelta = 0; // added to the reset table's claim
  std::vector<Entry> extraEntries;

  std::vector<std::byte> lzx(const std::string& data) const {
    // Uncompressed blocks of at most 32 KB, the window (64 KB) filled at most at a block end.
    LzxWriter w;
    std::size_t windowPos = 0;
    bool header = true;
    for (std::size_t at = 0; at < data.size();) {
      if (header)
        w.header(0);
      header = false;
      const std::size_t n = std::min<std::size_t>(32768, data.size() - at);
      w.blockHeader(3, static_cast<std::uint32_t>(n));
      w.uncompressedBody(std::string_view(data).substr(at, n));
      at += n;
      windowPos += n;
      if (windowPos == 65536) {
        windowPos = 0;
        header = true;
      }
    }
    return w.finish();
  }

  std::vector<std::byte> build() const {
    std::vector<Entry> entries;
    std::vector<std::byte> content;
    auto add = [&](const std::string& name, std::span<const std::byte> bytes) {
      entries.push_back({name, 0, static_cast<std::uint32_t>(content.size()),
                         static_cast<std::uint32_t>(bytes.size())});
      content.insert(content.end(), bytes.begin(), bytes.end());
    };
    for (const auto& [name, data] : plainFiles)
      add(name, bytesOf(data));
    if (nameList) {
      std::vector<std::byte> list(4);
      storeLe16(list.data() + 2, nameCount);
      for (std::string_view n : {"Uncompressed", "MSCompressed"}) {
        list.push_back(static_cast<std::byte>(n.size()));
        list.push_back(std::byte{0});
        for (char c : n) {
          list.push_back(static_cast<std::byte>(c));
          list.push_back(std::byte{0});
        }
        list.push_back(std::byte{0});
        list.push_back(std::byte{0});
      }
      add("::DataSpace/NameList", list);
    }
    std::string packed;
    for (const auto& [name, data] : compressedFiles) {
      entries.push_back({name, 1, static_cast<std::uint32_t>(packed.size()),
                         static_cast<std::uint32_t>(data.size())});
      packed += data;
    }
    const auto stream = lzx(packed);
    std::vector<std::byte> control(28);
    putLe32(control, 0, 6);
    std::memcpy(control.data() + 4, "LZXC", 4);
    putLe32(control, 8, 2);
    putLe32(control, 12, 2);
    putLe32(control, 16, windowUnits);
    add("::DataSpace/Storage/MSCompressed/ControlData", control);
    std::vector<std::byte> reset(40);
    putLe32(reset, 0, 2);
    putLe32(reset, 16, static_cast<std::uint32_t>(packed.size()) + uncompressedLengthDelta);
    putLe32(reset, 24, static_cast<std::uint32_t>(stream.size()));
    add("::DataSpace/Storage/MSCompressed/Transform/{7FC28940-9D31-11D0-9B27-00A0C91E9C7C}/"
        "InstanceData/ResetTable",
        reset);
    add("::DataSpace/Storage/MSCompressed/Content", stream);
    entries.insert(entries.end(), extraEntries.begin(), extraEntries.end());

    std::vector<std::vector<std::byte>> chunks;
    if (indexChunkFirst) {
      // An index chunk whose body would read as an entry "/ghost" if it were taken for a listing.
      std::vector<std::byte> c(kChunkSize);
      std::memcpy(c.data(), "PMGI", 4);
      std::vector<std::byte> body;
      putEncInt(body, 6);
      for (char ch : std::string("/ghost"))
        body.push_back(static_cast<std::byte>(ch));
      putEncInt(body, 0);
      putEncInt(body, 0);
      putEncInt(body, 4);
      std::copy(body.begin(), body.end(), c.begin() + 20);
      chunks.push_back(c);
    }
    std::vector<std::byte> listing(20);
    std::memcpy(listing.data(), "PMGL", 4);
    for (const Entry& e : entries) {
      putEncInt(listing, e.name.size());
      for (char ch : e.name)
        listing.push_back(static_cast<std::byte>(ch));
      putEncInt(listing, e.section);
      putEncInt(listing, e.offset);
      putEncInt(listing, e.length);
    }
    EXPECT_LE(listing.size(), kChunkSize);
    putLe32(listing, 4, static_cast<std::uint32_t>(kChunkSize - listing.size()));
    listing.resize(kChunkSize);
    chunks.push_back(listing);

    const std::size_t contentOffset = kFirstChunk + chunks.size() * kChunkSize;
    std::vector<std::byte> file(contentOffset);
    std::memcpy(file.data(), "ITSF", 4);
    putLe32(file, 4, 3);
    putLe32(file, 8, 96);
    putLe32(file, 56, 96); // header section 0
    putLe32(file, 64, 24);
    putLe32(file, 72, kDirOffset); // header section 1: the directory
    putLe32(file, 80, static_cast<std::uint32_t>(84 + chunks.size() * kChunkSize));
    putLe32(file, 88, static_cast<std::uint32_t>(contentOffset));
    std::memcpy(file.data() + kDirOffset, "ITSP", 4);
    putLe32(file, kDirOffset + 4, 1);
    putLe32(file, kDirOffset + 8, 84);
    putLe32(file, kDirOffset + 16, kChunkSize);
    putLe32(file, kDirOffset + 44, static_cast<std::uint32_t>(chunks.size()));
    for (std::size_t i = 0; i < chunks.size(); ++i)
      std::copy(chunks[i].begin(), chunks[i].end(), file.begin() + kFirstChunk + i * kChunkSize);
    file.insert(file.end(), content.begin(), content.end());
    return file;
  }
};

} // namespace kyv::test
