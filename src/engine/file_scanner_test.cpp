// Sampling a file: sizes around the sample boundaries, the executable flags, unopenable files.
#include <gtest/gtest.h>

#include "engine/database.h"
#include "engine/file_scanner.h"
#include "test_support.h"

namespace kyv::engine {
namespace {

std::vector<std::byte> numbered(std::size_t n) {
  std::vector<std::byte> b(n);
  for (std::size_t k = 0; k < n; ++k)
    b[k] = static_cast<std::byte>((k * 31 + 7) & 0xFF);
  return b;
}

// The sum of a slice, computed here the slow way.
std::uint32_t sumOf(const std::vector<std::byte>& b, std::size_t from, std::size_t count) {
  std::uint64_t s = 0;
  for (std::size_t k = 0; k < count && from + k < b.size(); ++k)
    s += k * std::to_integer<std::uint64_t>(b[from + k]);
  return static_cast<std::uint32_t>(s);
}

TEST(TFileScanner, SampleBoundaries) {
  struct Case {
    std::size_t size;
    bool tail, at5000, at10000;
  } cases[] = {
      {0, false, false, false},   {1500, false, false, false}, {1999, false, false, false},
      {2000, true, false, false}, {3000, true, false, false},  {5000, true, false, false},
      {5100, true, true, false},  {10000, true, true, false},  {10150, true, true, true},
      {20000, true, true, true},
  };
  kyv::test::ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::vector<std::byte> content = numbered(c.size);
    const auto path = dir / ("f" + std::to_string(c.size));
    kyv::test::writeFile(path, content);
    TFileScanner s;
    ASSERT_TRUE(s.OpenFile(path.string()));
    EXPECT_EQ(s.FileInfo.FileSize, static_cast<std::int32_t>(c.size));
    EXPECT_EQ(s.FileInfo.Sums[0], sumOf(content, 0, 2000));
    EXPECT_EQ(s.FileInfo.Sums[1], c.tail ? sumOf(content, c.size - 2000, 2000) : 0u);
    EXPECT_EQ(s.FileInfo.Sums[2], c.at5000 ? sumOf(content, 5000, 200) : 0u);
    EXPECT_EQ(s.FileInfo.Sums[3], c.at10000 ? sumOf(content, 10000, 200) : 0u);
    // The head is followed by zeros, whatever the file holds beyond 2000 bytes.
    EXPECT_EQ(s.HeadBuf[2000], std::byte{0});
    EXPECT_FALSE(s.FileInfo.IsMZ);
  }
}

TEST(TFileScanner, ExecutableFlags) {
  struct Case {
    const char* what;
    std::string head;
    std::uint32_t peOffset; // 0: none written
    std::size_t peAt;       // where "PE" is written (0: nowhere)
    bool isMZ, isPE;
  } cases[] = {
      {"MZ without PE", "MZ", 0x80, 0, true, false},
      {"ZM counts", "ZM", 0x80, 0x80, true, true},
      {"MZ with PE", "MZ", 0x80, 0x80, true, true},
      {"PE at 1998", "MZ", 1998, 1998, true, true},
      {"PE at 1999 straddles the head", "MZ", 1999, 1999, true, false},
      {"offset 4096", "MZ", 4096, 0, true, false},
      {"offset 5000", "MZ", 5000, 5000, true, false},
      {"PE without MZ", "XZ", 0x80, 0x80, false, false},
      {"lower case mz", "mz", 0x80, 0x80, false, false},
  };
  kyv::test::ScratchDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::byte> content(6000, std::byte{0});
    content[0] = static_cast<std::byte>(c.head[0]);
    content[1] = static_cast<std::byte>(c.head[1]);
    for (int k = 0; k < 4; ++k)
      content[60 + k] = static_cast<std::byte>(c.peOffset >> (8 * k));
    if (c.peAt != 0) {
      content[c.peAt] = std::byte{'P'};
      content[c.peAt + 1] = std::byte{'E'};
    }
    kyv::test::writeFile(dir / "exe", content);
    TFileScanner s;
    ASSERT_TRUE(s.OpenFile((dir / "exe").string()));
    EXPECT_EQ(s.FileInfo.IsMZ, c.isMZ);
    EXPECT_EQ(s.FileInfo.IsPE, c.isPE);
  }
}

TEST(TFileScanner, UnopenableFileLeavesEverythingZero) {
  kyv::test::ScratchDir dir;
  TFileScanner s;
  EXPECT_FALSE(s.OpenFile((dir / "missing").string()));
  EXPECT_EQ(s.FileInfo.FileSize, 0);
  EXPECT_EQ(s.FileInfo.Sums, (std::array<std::uint32_t, 4>{}));
  EXPECT_EQ(s.HeadBuf, TFileScanner::SampleBuf{});
}

} // namespace
} // namespace kyv::engine
