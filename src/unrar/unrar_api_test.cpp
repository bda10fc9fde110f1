// The four entry points as a caller sees them: one header per call, exactly one process call
// after each, extraction to a named file, the record fields a caller reads, and the codes of the
// common failures.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "codec/checksum.h"
#include "unrar/unrar_abi.h"

namespace kyv::unrar {
namespace {

struct Opened {
  RarHandle handle = nullptr;
  RAROpenArchiveDataEx data{};
  std::vector<char> comment = std::vector<char>(16384);
  std::string name;
  Opened(const std::string& path, unsigned mode) : name(path) {
    data.ArcName = name.data();
    data.OpenMode = mode;
    data.CmtBuf = comment.data();
    data.CmtBufSize = 16384;
    handle = RAROpenArchiveEx(&data);
  }
  ~Opened() {
    if (handle != nullptr)
      RARCloseArchive(handle);
  }
};

std::string narrow(const wchar_t* w) {
  std::string s;
  for (; *w != 0; ++w)
    s.push_back(*w < 0x80 ? static_cast<char>(*w) : '?');
  return s;
}

TEST(UnrarApi, ListsThenExtractsAndTestsMembers) {
  KYV_REQUIRE_FIXTURE(path, "rar/libarchive-test_read_format_rar5_multiple_files.rar");
  auto header = std::make_unique<RARHeaderDataEx>();
  {
    Opened a(path.string(), kOpenList);
    ASSERT_NE(a.handle, nullptr);
    EXPECT_EQ(a.data.OpenResult, 0u);
    std::vector<std::string> names;
    while (RARReadHeaderEx(a.handle, header.get()) == kSuccess) {
      names.push_back(narrow(header->FileNameW));
      EXPECT_EQ(header->UnpSize, 4096u);
      EXPECT_EQ(header->UnpSizeHigh, 0u);
      EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"test1.bin", "test2.bin", "test3.bin", "test4.bin"}));
  }
  test::ScratchDir dir;
  Opened a(path.string(), kOpenExtract);
  ASSERT_NE(a.handle, nullptr);
  // First member tested, second extracted to a named file, the rest skipped.
  ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess);
  EXPECT_EQ(RARProcessFile(a.handle, kOpTest, nullptr, nullptr), kSuccess);
  ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess);
  std::string target = (dir / "out.bin").string();
  EXPECT_EQ(RARProcessFile(a.handle, kOpExtract, nullptr, target.data()), kSuccess);
  const auto bytes = test::readFile(target);
  EXPECT_EQ(bytes.size(), 4096u);
  EXPECT_EQ(codec::crc32Update(0, bytes), header->FileCRC);
  EXPECT_EQ(header->FileCRC, 0xF166AFCBu);
  ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess);
  EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
  ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess);
  EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
  EXPECT_EQ(RARReadHeaderEx(a.handle, header.get()), kEndArchive);
  // A process call without a header before it is refused.
  EXPECT_NE(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
}

TEST(UnrarApi, SolidMembersExtractAfterSkippedOnes) {
  KYV_REQUIRE_FIXTURE(path, "rar/koni-solid_rar4.rar");
  test::ScratchDir dir;
  Opened a(path.string(), kOpenExtract);
  ASSERT_NE(a.handle, nullptr);
  EXPECT_NE(a.data.Flags & kArcSolid, 0u);
  auto header = std::make_unique<RARHeaderDataEx>();
  std::string target = (dir / "last.txt").string();
  int n = 0;
  while (RARReadHeaderEx(a.handle, header.get()) == kSuccess) {
    if (++n < 5) {
      EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
      continue;
    }
    EXPECT_EQ(RARProcessFile(a.handle, kOpExtract, nullptr, target.data()), kSuccess);
    EXPECT_EQ(codec::crc32Update(0, test::readFile(target)), 0x7291FFF9u);
  }
  EXPECT_EQ(n, 5);
}

TEST(UnrarApi, FailuresGiveTheirCodesAndLeaveNoFile) {
  test::ScratchDir dir;
  {
    Opened a((dir / "missing.rar").string(), kOpenExtract);
    EXPECT_EQ(a.handle, nullptr);
    EXPECT_EQ(a.data.OpenResult, static_cast<unsigned>(kOpenError));
  }
  test::writeFile(dir / "plain.txt", "not an archive at all, just text");
  {
    Opened a((dir / "plain.txt").string(), kOpenExtract);
    EXPECT_EQ(a.handle, nullptr);
    EXPECT_EQ(a.data.OpenResult, static_cast<unsigned>(kBadArchive));
  }
  auto header = std::make_unique<RARHeaderDataEx>();
  {
    Opened a(test::fixture("rar/libarchive-test_read_format_rar4_encrypted.rar").string(),
             kOpenExtract);
    ASSERT_NE(a.handle, nullptr);
    ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess); // a.txt, plain
    EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
    ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess); // b.txt, encrypted
    EXPECT_NE(header->Flags & kFileEncrypted, 0u);
    std::string target = (dir / "b.txt").string();
    EXPECT_EQ(RARProcessFile(a.handle, kOpExtract, nullptr, target.data()), kMissingPassword);
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  {
    Opened a(test::fixture("rar/junrar-void-dist-v29.rar").string(), kOpenExtract);
    ASSERT_NE(a.handle, nullptr);
    ASSERT_EQ(RARReadHeaderEx(a.handle, header.get()), kSuccess);
    std::string target = (dir / "void.bin").string();
    EXPECT_EQ(RARProcessFile(a.handle, kOpExtract, nullptr, target.data()), kBadData);
    EXPECT_FALSE(std::filesystem::exists(target));
  }
  {
    Opened a(test::fixture("rar/koni-hp_rar4.rar").string(), kOpenList);
    EXPECT_EQ(a.handle, nullptr);
    EXPECT_EQ(a.data.OpenResult, static_cast<unsigned>(kMissingPassword));
  }
}

TEST(UnrarApi, NamesComeInUtf16AndSizesInTwoHalves) {
  KYV_REQUIRE_FIXTURE(path, "rar/libarchive-test_read_format_rar_unicode.rar");
  Opened a(path.string(), kOpenList);
  ASSERT_NE(a.handle, nullptr);
  auto header = std::make_unique<RARHeaderDataEx>();
  bool found = false;
  while (RARReadHeaderEx(a.handle, header.get()) == kSuccess) {
    // 表だよ/ファイル: folders are separated by '/', characters arrive as UTF-16 units.
    const std::u16string expected = u"\u8868\u3060\u3088/\u30D5\u30A1\u30A4\u30EB";
    std::u16string got;
    for (const wchar_t* w = header->FileNameW; *w != 0; ++w)
      got.push_back(static_cast<char16_t>(*w));
    if (got == expected) {
      found = true;
      EXPECT_EQ(header->UnpSize, 54u);
      EXPECT_EQ(header->FileCRC, 0x5DFB8225u);
    }
    EXPECT_EQ(RARProcessFile(a.handle, kOpSkip, nullptr, nullptr), kSuccess);
  }
  EXPECT_TRUE(found);
}

} // namespace
} // namespace kyv::unrar
