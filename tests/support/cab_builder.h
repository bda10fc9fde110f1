// Cabinets built in tests, byte by byte after the published cabinet format.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/deflate_encoder.h"
#include "test_support.h"

namespace kyv::test {

// A cabinet built by hand after the published format: the header, its folders (stored, or MSZIP:
// "CK" and a Deflate stream per block), the file table and the data blocks (at most 32768 bytes
// each, checksum 0 meaning "none").
struct CabBuilder {
  struct File {
    std::string name;
    std::string data;
    std::uint16_t folder = 0; // 0xFFFD: continued from the previous cabinet
  };
  std::vector<File> files;
  std::string previous; // names of neighbouring cabinets; empty when none
  std::string next;
  bool mszip = false;

  std::vector<std::byte> build() const {
    std::vector<std::byte> out;
    auto u8 = [&](unsigned v) { out.push_back(static_cast<std::byte>(v)); };
    auto u16 = [&](unsigned v) { u8(v & 0xFF), u8((v >> 8) & 0xFF); };
    auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    auto text = [&](const std::string& s) {
      for (char c : s)
        u8(static_cast<unsigned char>(c));
      u8(0);
    };
    auto patch32 = [&](std::size_t at, std::uint32_t v) {
      for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::byte>(v >> (8 * i));
    };
    // Folders in index order; a file names its folder (indexes past the last make no folder).
    std::vector<std::string> folderData(1);
    for (const auto& f : files)
      if (f.folder < 16 && f.folder >= folderData.size() && f.data.size() > 0)
        folderData.resize(f.folder + 1);
    for (const auto& f : files)
      if (f.folder < folderData.size())
        folderData[f.folder] += f.data;

    out.insert(out.end(), {std::byte{'M'}, std::byte{'S'}, std::byte{'C'}, std::byte{'F'}});
    u32(0);
    u32(0); // cbCabinet, patched
    u32(0);
    u32(0); // coffFiles, patched
    u32(0);
    u8(3), u8(1); // version 1.3
    u16(static_cast<unsigned>(folderData.size()));
    u16(static_cast<unsigned>(files.size()));
    u16((previous.empty() ? 0 : 1) | (next.empty() ? 0 : 2));
    u16(0x1234); // set id
    u16(previous.empty() ? 0 : 1);
    if (!previous.empty())
      text(previous), text("disk0");
    if (!next.empty())
      text(next), text("disk2");
    std::vector<std::size_t> folderAt;
    for (const auto& data : folderData) {
      folderAt.push_back(out.size());
      u32(0); // coffCabStart, patched
      u16(static_cast<unsigned>((data.size() + 32767) / 32768));
      u16(mszip ? 1 : 0);
    }
    patch32(16, static_cast<std::uint32_t>(out.size()));
    std::vector<std::uint32_t> offsets(folderData.size() + 1);
    for (const auto& f : files) {
      const std::size_t folder = std::min<std::size_t>(f.folder, folderData.size());
      u32(static_cast<std::uint32_t>(f.data.size()));
      u32(folder < folderData.size() ? offsets[folder] : 0);
      u16(f.folder);
      u16(0x5A21), u16(0x6000), u16(0x20); // 2025-01-01 12:00:00, archive attribute
      text(f.name);
      if (folder < folderData.size())
        offsets[folder] += static_cast<std::uint32_t>(f.data.size());
    }
    for (std::size_t k = 0; k < folderData.size(); ++k) {
      patch32(folderAt[k], static_cast<std::uint32_t>(out.size()));
      for (std::size_t at = 0; at < folderData[k].size(); at += 32768) {
        const std::string chunk = folderData[k].substr(at, 32768);
        std::vector<std::byte> packed = bytesOf(chunk);
        if (mszip) {
          packed = bytesOf("CK");
          const auto deflated = archive::DeflateRaw(bytesOf(chunk));
          packed.insert(packed.end(), deflated.begin(), deflated.end());
        }
        u32(0);
        u16(static_cast<unsigned>(packed.size()));
        u16(static_cast<unsigned>(chunk.size()));
        out.insert(out.end(), packed.begin(), packed.end());
      }
    }
    patch32(8, static_cast<std::uint32_t>(out.size()));
    return out;
  }
};

} // namespace kyv::test
