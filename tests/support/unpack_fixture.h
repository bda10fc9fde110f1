// The unpacking kernel over a scratch folder, as the extractor and dispatcher tests drive it: a
// file is unpacked the way the scan hands it over (with the head of the file read first), each
// delivered member and each gap is recorded, and what the kernel left in the folder is listed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/system.h"
#include "test_support.h"
#include "unpack/decompress.h"

namespace kyv::test {

class UnpackFixture : public ::testing::Test {
protected:
  struct Delivered {
    std::string type;
    std::string name;
    std::string content; // "<no file>" when the member's file was not there to read
  };

  // headBytes: how much of the file the head holds (the scan reads 2000 bytes of it).
  explicit UnpackFixture(std::size_t headBytes = 2000) : headBytes_(headBytes), unpacker("unused") {
    unpacker.SetTempFolder(platform::NormalizeFolder(dir.path().string()));
    unpacker.SetOnItem([this](const unpack::TKYVArcInfoArray& chain) {
      const auto& link = chain.back();
      const bool there = std::filesystem::exists(link.ItemFile);
      seen.push_back(
          {link.ArcType, link.ItemName, there ? textOf(readFile(link.ItemFile)) : "<no file>"});
      return true;
    });
    unpacker.SetOnGap([this](const unpack::TScanGap& gap) { gaps.push_back(gap); });
  }

  // chain: empty for a top-level file (which starts a new budget).
  void unpack(const std::filesystem::path& path, const unpack::TKYVArcInfoArray& chain = {},
              bool mz = false) {
    const auto bytes = readFile(path);
    std::vector<std::byte> head(4097);
    std::copy_n(bytes.begin(), std::min(bytes.size(), headBytes_), head.begin());
    unpack::FileHead fh;
    fh.IsMZ = mz;
    fh.HeadBuf = head;
    unpacker.Unpack(path.string(), fh, chain);
  }

  // Files of the kernel's left in the folder (the test's own inputs excluded).
  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      if (e.path().filename().string().rfind("kyv_", 0) == 0)
        names.push_back(e.path().filename().string());
    return names;
  }

private:
  std::size_t headBytes_;

protected:
  ScratchDir dir;
  unpack::TKYVDecompress unpacker;
  std::vector<Delivered> seen;
  std::vector<unpack::TScanGap> gaps;
};

} // namespace kyv::test
