// The ARJ, LZH and SZDD/KWAJ readers: archives made by the real archivers (Debian's arj, jlha's
// lha, mscompress), every member byte for byte; and archives written here with lies in their
// fields, which must never crash, hang, write past a declared size or pass as whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/arj_format.h"
#include "archive/arj_reader.h"
#include "archive/lzh_format.h"
#include "archive/lzh_reader.h"
#include "archive/szdd_reader.h"
#include "dos_archive_builder.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::ScratchDir;

struct Member {
  std::string name;
  std::string data;
  std::string failure;
  std::string incomplete;
  bool encrypted = false;
  std::string unsupported;
};

// Lists and extracts every member, as the kernel would.
template <class Archive> std::vector<Member> readAll(Archive& archive) {
  archive.LoadDirectory();
  std::vector<Member> out;
  for (int i = 0; i < archive.MemberCount(); ++i) {
    const TAbCheckedItem& item = archive.Member(i);
    VectorSink sink;
    archive.ExtractMemberToStreamAt(i, sink);
    out.push_back({item.FileName, test::textOf(sink.bytes()), archive.LastFailure(),
                   item.Incomplete, item.IsEncrypted, item.Unsupported});
  }
  return out;
}

template <class Archive>
std::vector<Member> readBytes(const test::Bytes& bytes, const std::string& name = "t") {
  Archive archive(std::make_unique<MemorySource>(bytes), name);
  return readAll(archive);
}

template <class Archive> std::vector<Member> readPath(const std::filesystem::path& path) {
  Archive archive(path.string());
  return readAll(archive);
}

// Text that compresses, and bytes that barely do, with long and short repeats.
std::string sampleText() {
  std::string s;
  for (int i = 0; i < 30000; ++i)
    s += "line " + std::to_string(i * 7 % 1000) + (i % 3 ? " of text\n" : " again and again\n");
  return s;
}
std::string sampleBinary() {
  std::string s(150000, '\0');
  std::uint32_t x = 1;
  for (std::size_t i = 0; i < s.size(); ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(i % 4000 < 2000 ? x >> 24 : s[i - 2000 + (x >> 30)]);
  }
  return s;
}

class DosArchivers : public ::testing::Test {
protected:
  void SetUp() override {
    files = {{"text.txt", sampleText()},
             {"data.bin", sampleBinary()},
             {"small.txt", "tiny\n"},
             {"empty.txt", ""}};
    for (const auto& [name, data] : files)
      test::writeFile(dir / name, data);
  }
  // Runs a producer in the scratch folder.
  void make(const std::string& command) {
    ASSERT_EQ(test::run("cd '" + dir.path().string() + "' && " + command + " >/dev/null 2>&1"), 0)
        << command;
  }
  void expectAllFiles(const std::vector<Member>& got, const std::string& what) {
    std::vector<std::pair<std::string, std::string>> want(files.begin(), files.end());
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, want[i].first) << what;
      EXPECT_TRUE(got[i].data == want[i].second) << what << " " << got[i].name;
      EXPECT_EQ(got[i].failure, "") << what << " " << got[i].name;
    }
  }

  ScratchDir dir;
  std::vector<std::pair<std::string, std::string>> files;
  const std::string names = "text.txt data.bin small.txt empty.txt";
};

TEST_F(DosArchivers, ArjEveryMethodByteForByte) {
  if (!test::haveProgram("arj"))
    GTEST_SKIP() << "arj not installed";
  for (int method = 0; method <= 4; ++method) {
    const std::string name = "m" + std::to_string(method) + ".arj";
    make("arj a -y -m" + std::to_string(method) + " " + name + " " + names);
    expectAllFiles(readPath<TAbArjArchive>(dir / name), name);
  }
}

TEST_F(DosArchivers, ArjGarbledMembersAreRefusedAndSplitOnesMarked) {
  if (!test::haveProgram("arj"))
    GTEST_SKIP() << "arj not installed";
  make("arj a -y -gsecret g.arj small.txt text.txt");
  for (const Member& m : readPath<TAbArjArchive>(dir / "g.arj")) {
    EXPECT_TRUE(m.encrypted) << m.name;
    EXPECT_EQ(m.data, "") << m.name;
    EXPECT_NE(m.failure, "") << m.name;
  }
  // A volume of 60 000 bytes: the first holds small.txt whole and the start of the rest.
  make("arj a -y -m1 -v60000 v.arj small.txt data.bin");
  const auto got = readPath<TAbArjArchive>(dir / "v.arj");
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[0].data, "tiny\n");
  EXPECT_EQ(got[0].incomplete, "");
  // The archiver cuts the file into pieces, each compressed and checked on its own: the first
  // volume's piece comes out whole, and is marked as not the whole member.
  EXPECT_EQ(got[1].name, "data.bin");
  EXPECT_NE(got[1].incomplete, "");
  EXPECT_EQ(got[1].failure, "");
  EXPECT_GT(got[1].data.size(), 0u);
  EXPECT_LT(got[1].data.size(), files[1].second.size());
  EXPECT_TRUE(files[1].second.compare(0, got[1].data.size(), got[1].data) == 0);
}

TEST_F(DosArchivers, LzhEveryMethodAndHeaderLevelByteForByte) {
  if (!test::haveProgram("lha"))
    GTEST_SKIP() << "lha not installed";
  for (const std::string options : {"o5", "o6", "o7", "0o5", "1o6", "2o7", "z"}) {
    const std::string name = "l" + options + ".lzh";
    make("lha a" + options + " " + name + " " + names);
    expectAllFiles(readPath<TAbLzhArchive>(dir / name), name);
  }
  // Folders: the folder entry is not a member; its file is named with it.
  std::filesystem::create_directories(dir / "sub");
  test::writeFile(dir / "sub" / "in.txt", "inside\n");
  make("lha a2 d.lzh sub");
  const auto got = readPath<TAbLzhArchive>(dir / "d.lzh");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].name, "sub/in.txt");
  EXPECT_EQ(got[0].data, "inside\n");
}

// Against the package's own expander: its compressor garbles files of a few bytes (the
// expander reads them back as garbled), so the original is the reference only for the others.
TEST_F(DosArchivers, SzddFromMscompressByteForByte) {
  if (!test::haveProgram("mscompress") || !test::haveProgram("msexpand"))
    GTEST_SKIP() << "mscompress not installed";
  for (const auto& [name, data] : files) {
    if (data.empty())
      continue;
    make("(mscompress " + name + " && msexpand < " + name + "_ > " + name + ".out)");
    const auto got = readPath<TAbSzddArchive>(dir / (name + "_"));
    ASSERT_EQ(got.size(), 1u) << name;
    EXPECT_TRUE(got[0].data == test::textOf(test::readFile(dir / (name + ".out")))) << name;
    if (data.size() > 100) {
      EXPECT_TRUE(got[0].data == data) << name;
    }
    EXPECT_EQ(got[0].failure, "") << name;
  }
}

// Damage and lies, written here. Each row: the member as written, what comes out.
TEST(DosArchiveLies, ArjFields) {
  const std::string data = "the member's own bytes";
  struct Case {
    const char* what;
    test::ArjMember member;
    std::string out;
    bool failed;
  };
  const std::vector<Case> cases{
      {"whole", {"a.txt", data}, data, false},
      {"a wrong CRC-32 still gives the bytes", {"a.txt", data, 0, 0, 0, -1, -1, 1234}, data, true},
      {"an original size past the data stops where the data does",
       {"a.txt", data, 0, 0, 0, 1000000},
       data,
       true},
      {"an original size short of the data caps it", {"a.txt", data, 0, 0, 0, 4}, "the ", true},
      {"compressed data that ends early",
       {"a.txt", data, 1, 0, 0, -1, -1, -1, std::string("\x00\x01", 2)},
       "",
       true},
      {"an unknown method", {"a.txt", data, 7}, "", true},
  };
  for (const Case& c : cases) {
    const auto got = readBytes<TAbArjArchive>(test::buildArj({c.member}));
    ASSERT_EQ(got.size(), 1u) << c.what;
    EXPECT_EQ(got[0].data, c.out) << c.what;
    EXPECT_EQ(!got[0].failure.empty(), c.failed) << c.what << ": " << got[0].failure;
  }
  // Folders and labels are not members; a compressed size past the end of the file leaves what
  // is there and ends the listing.
  const auto listed = readBytes<TAbArjArchive>(test::buildArj(
      {{"dir", "", 0, 0, 3}, {"label", "", 0, 0, 4}, {"b.txt", data, 0, 0, 0, -1, 1000000}}));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].name, "b.txt");
  EXPECT_NE(listed[0].incomplete, "");
  EXPECT_EQ(listed[0].data.substr(0, data.size()), data);
}

TEST(DosArchiveLies, ArjHeaders) {
  test::Bytes arj = test::buildArj({{"a.txt", "first"}, {"b.txt", "second"}});
  EXPECT_TRUE(isArjMainHeader(arj));
  // A damaged second header: the first member stays, the listing says why it stopped.
  const test::Bytes one = test::buildArj({{"a.txt", "first"}});
  test::Bytes damaged = arj;
  damaged[one.size() - 4 + 10] ^= std::byte{1};
  TAbArjArchive archive(std::make_unique<MemorySource>(damaged), "d.arj");
  const auto got = readAll(archive);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "first");
  EXPECT_NE(archive.ListingProblem(), "");
  // A damaged main header is no ARJ: not recognised, and an error when opened.
  damaged = arj;
  damaged[12] ^= std::byte{1};
  EXPECT_FALSE(isArjMainHeader(damaged));
  EXPECT_THROW(readBytes<TAbArjArchive>(damaged), EAbException);
  // A basic header size past the cap, or of a fixed part that could not hold the fields.
  damaged = arj;
  damaged[3] = std::byte{0x20};
  EXPECT_FALSE(isArjMainHeader(damaged));
  // Cut anywhere, nothing reads outside the bytes.
  for (std::size_t n = 0; n < arj.size(); ++n)
    try {
      (void)readBytes<TAbArjArchive>(
          test::Bytes(arj.begin(), arj.begin() + static_cast<std::ptrdiff_t>(n)));
    } catch (const EAbException&) {
    }
}

TEST(DosArchiveLies, LzhHeadersAndFields) {
  const std::string data = "stored member data";
  // Every level reads the same member.
  for (int level = 0; level <= 2; ++level) {
    const test::Bytes lzh =
        test::buildLzh({{"a.txt", data, "-lh0-", level, level == 2 ? "d\xFFsub" : ""}});
    EXPECT_TRUE(isLzhHeader(lzh)) << level;
    const auto got = readBytes<TAbLzhArchive>(lzh);
    ASSERT_EQ(got.size(), 1u) << level;
    EXPECT_EQ(got[0].name, level == 2 ? "d/sub/a.txt" : "a.txt") << level;
    EXPECT_EQ(got[0].data, data) << level;
    EXPECT_EQ(got[0].failure, "") << level;
  }
  struct Case {
    const char* what;
    test::LzhMember member;
    std::string out;
    bool failed;
  };
  const std::vector<Case> cases{
      {"an original size short of the data caps it",
       {"a", data, "-lh0-", 0, "", 6},
       "stored",
       true},
      {"an original size past the data", {"a", data, "-lh0-", 0, "", 100}, data, true},
      {"a -lh5- stream that is not one", {"a", data, "-lh5-", 0, "", 100}, "", true},
      {"a method not decoded here", {"a", data, "-lh1-", 1}, "", true},
  };
  for (const Case& c : cases) {
    const auto got = readBytes<TAbLzhArchive>(test::buildLzh({c.member}));
    ASSERT_EQ(got.size(), 1u) << c.what;
    EXPECT_EQ(got[0].data.substr(0, c.out.size()), c.out) << c.what;
    EXPECT_LE(got[0].data.size(), std::max<std::size_t>(c.out.size(), 100)) << c.what;
    EXPECT_EQ(!got[0].failure.empty(), c.failed) << c.what;
  }
  // A flipped data byte fails the CRC-16; a flipped header byte fails the first header (no
  // archive) or ends the listing after the members before it.
  test::Bytes lzh = test::buildLzh({{"a", data}, {"b", data}});
  const std::size_t first = test::buildLzh({{"a", data}}).size() - 1;
  test::Bytes damaged = lzh;
  damaged[first - 1] ^= std::byte{1};
  EXPECT_NE(readBytes<TAbLzhArchive>(damaged)[0].failure, "");
  damaged = lzh;
  damaged[first + 10] ^= std::byte{1};
  TAbLzhArchive archive(std::make_unique<MemorySource>(damaged), "d.lzh");
  EXPECT_EQ(readAll(archive).size(), 1u);
  EXPECT_NE(archive.ListingProblem(), "");
  damaged = lzh;
  damaged[10] ^= std::byte{1};
  EXPECT_FALSE(isLzhHeader(damaged));
  EXPECT_THROW(readBytes<TAbLzhArchive>(damaged), EAbException);
  // A level 1 extended header whose size leaves the file, and level 2 ones past the header.
  damaged = test::buildLzh({{"a", data, "-lh0-", 1}});
  damaged[std::to_integer<std::size_t>(damaged[0])] = std::byte{0xFF};
  EXPECT_THROW(readBytes<TAbLzhArchive>(damaged), EAbException);
  damaged = test::buildLzh({{"a", data, "-lh0-", 2}});
  damaged[24] = std::byte{0xF0};
  EXPECT_THROW(readBytes<TAbLzhArchive>(damaged), EAbException);
  // Cut anywhere.
  for (std::size_t n = 0; n < lzh.size(); ++n)
    try {
      (void)readBytes<TAbLzhArchive>(
          test::Bytes(lzh.begin(), lzh.begin() + static_cast<std::ptrdiff_t>(n)));
    } catch (const EAbException&) {
    }
}

test::Bytes compressedFile(std::string_view magic, std::initializer_list<int> fields,
                           const std::string& data) {
  test::Bytes out;
  test::putText(out, std::string(magic));
  for (const int b : fields)
    out.push_back(static_cast<std::byte>(b));
  test::putText(out, data);
  return out;
}

TEST(DosArchiveLies, SzddAndKwaj) {
  // "ABABAB   " in the LZSS, as the codec's own test builds it.
  const std::string lzss("\x03"
                         "AB\xF0\xF1\x00\x00",
                         7);
  const std::string_view szdd("SZDD\x88\xF0\x27\x33", 8);
  const std::string_view kwaj("KWAJ\x88\xF0\x27\xD1", 8);
  struct Case {
    const char* what;
    test::Bytes file;
    std::string name;
    std::string out;
    bool failed;
  };
  const std::vector<Case> cases{
      {"SZDD", compressedFile(szdd, {'A', 'E', 9, 0, 0, 0}, lzss), "SETUP.EXE", "ABABAB   ", false},
      {"SZDD shorter than declared", compressedFile(szdd, {'A', 0, 50, 0, 0, 0}, lzss), "SETUP.EX_",
       "ABABAB   ", true},
      {"SZDD longer than declared", compressedFile(szdd, {'A', 0, 4, 0, 0, 0}, lzss), "SETUP.EX_",
       "ABAB", false},
      {"KWAJ stored, no size", compressedFile(kwaj, {0, 0, 14, 0, 0, 0}, "plain"), "SETUP.EX_",
       "plain", false},
      {"KWAJ inverted with a name",
       compressedFile(kwaj, {1, 0, 22, 0, 0x18, 0, 'o', 'n', 'e', 0, 'b', 'i', 'n', 0, 0x8F, 0x8E},
                      ""),
       "one.bin", "pq", false},
      {"KWAJ LZSS with its size", compressedFile(kwaj, {2, 0, 18, 0, 1, 0, 9, 0, 0, 0}, lzss),
       "SETUP.EX_", "ABABAB   ", false},
      {"KWAJ method 3", compressedFile(kwaj, {3, 0, 14, 0, 0, 0}, "x"), "SETUP.EX_", "", true},
      {"KWAJ data offset past the end", compressedFile(kwaj, {0, 0, 99, 0, 0, 0}, "x"), "", "",
       true},
      {"KWAJ counted field past the end",
       compressedFile(kwaj, {0, 0, 14, 0, 0x0C, 0, 0xFF, 0xFF, 'a', 0}, ""), "", "", true},
  };
  for (const Case& c : cases) {
    std::vector<Member> got;
    try {
      got = readBytes<TAbSzddArchive>(c.file, "dir/SETUP.EX_");
    } catch (const EAbException&) {
      EXPECT_EQ(c.name, "") << c.what;
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << c.what;
    EXPECT_EQ(got[0].name, c.name) << c.what;
    EXPECT_EQ(got[0].data, c.out) << c.what;
    EXPECT_EQ(!got[0].failure.empty(), c.failed) << c.what;
  }
}

} // namespace
} // namespace kyv::archive
