// The TAR reader: octal fields, the walk over regular entries, extraction, the content test, and
// archives made by GNU tar in its three formats.
#include "archive/tar_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::bytesOf;
using test::textOf;

// Owns the bytes a MemorySource reads.
class OwnedSource final : public ByteSource {
public:
  explicit OwnedSource(std::vector<std::byte> bytes) : bytes_(std::move(bytes)), mem_(bytes_) {}
  std::size_t read(std::span<std::byte> out) override { return mem_.read(out); }
  bool seek(std::uint64_t offset) override { return mem_.seek(offset); }
  std::uint64_t size() const override { return mem_.size(); }
  std::uint64_t position() const override { return mem_.position(); }

private:
  std::vector<std::byte> bytes_;
  MemorySource mem_;
};

// One header block: name, size (octal), type flag, GNU magic and a correct checksum.
std::vector<std::byte> header(const std::string& name, std::size_t size, char type = '0') {
  std::vector<std::byte> b(kTarBlockSize);
  auto put = [&](std::size_t off, const std::string& s) {
    std::memcpy(b.data() + off, s.data(), s.size());
  };
  put(TarField::NameOff, name.substr(0, 100));
  put(TarField::ModeOff, "0000644");
  char sz[13];
  std::snprintf(sz, sizeof sz, "%011zo", size);
  put(TarField::SizeOff, sz);
  b[TarField::TypeOff] = static_cast<std::byte>(type);
  put(TarField::MagicOff, std::string("ustar  ", 7));
  put(TarField::ChksumOff, "        ");
  unsigned sum = 0;
  for (auto x : b)
    sum += std::to_integer<unsigned>(x);
  char ck[8];
  std::snprintf(ck, sizeof ck, "%06o", sum);
  put(TarField::ChksumOff, std::string(ck, 7));
  return b;
}

// An entry: header plus data padded to whole blocks.
void entry(std::vector<std::byte>& tar, const std::string& name, const std::string& data,
           char type = '0') {
  const auto h = header(name, data.size(), type);
  tar.insert(tar.end(), h.begin(), h.end());
  const auto d = bytesOf(data);
  tar.insert(tar.end(), d.begin(), d.end());
  tar.resize((tar.size() + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize);
}
void end(std::vector<std::byte>& tar) { tar.resize(tar.size() + 2 * kTarBlockSize); }

std::unique_ptr<TAbTarArchive> load(std::vector<std::byte> bytes) {
  auto a = std::make_unique<TAbTarArchive>(std::make_unique<OwnedSource>(std::move(bytes)), "t.tar");
  a->LoadDirectory();
  return a;
}

std::string extract(TAbArchive& a, const std::string& name) {
  VectorSink sink;
  a.ExtractMemberToStream(name, sink);
  return textOf(sink.bytes());
}

TEST(TarParseOctal, Fields) {
  struct Case {
    std::string field;
    std::uint64_t value;
  } cases[] = {
      {"00000001750 ", 1000},
      {std::string(12, ' '), 0},
      {"   17", 15},
      {"0001\x80" "77", 1},        // stops at the first non-octal byte
      {"\x80\0\0\0\0\0\0\0\0\0\x03\xE8", 0}, // base-256 reads as 0
      {"77777777777\0", 077777777777},
      {"0008", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseOctal(bytesOf(c.field)), c.value) << c.field;
}

TEST(TarReader, ListsRegularFilesOnlyAndSkipsOthersByTheirSize) {
  std::vector<std::byte> tar;
  entry(tar, "dir/", "", '5');
  entry(tar, "././@LongLink", std::string(150, 'L') + '\0', 'L');
  entry(tar, std::string(100, 'L'), "long");
  entry(tar, "PaxHeaders/x", std::string(700, 'p'), 'x'); // data spans two blocks
  entry(tar, "g", "30 comment=global\n", 'g');
  entry(tar, "link", "", '2');
  entry(tar, "hard", "", '1');
  entry(tar, "a.txt", "alpha");
  entry(tar, "old", "", '\0'); // the old regular-file flag
  end(tar);
  auto a = load(std::move(tar));
  ASSERT_EQ(a->MemberCount(), 3);
  EXPECT_EQ(a->MemberAt(0)->FileName, std::string(100, 'L')); // cut to the name field
  EXPECT_EQ(a->MemberAt(1)->FileName, "a.txt");
  EXPECT_EQ(a->MemberAt(1)->UncompressedSize, 5u);
  EXPECT_EQ(a->MemberAt(1)->CompressedSize, 5u);
  EXPECT_EQ(a->MemberAt(2)->FileName, "old");
  EXPECT_EQ(extract(*a, "a.txt"), "alpha");
  EXPECT_EQ(extract(*a, std::string(100, 'L')), "long");
}

TEST(TarReader, SameNameExtractsTheLaterMember) {
  std::vector<std::byte> tar;
  entry(tar, "x", "first");
  entry(tar, "X", "second");
  end(tar);
  auto a = load(std::move(tar));
  ASSERT_EQ(a->MemberCount(), 2);
  EXPECT_EQ(extract(*a, "x"), "second");
  EXPECT_EQ(extract(*a, "X"), "second");
}

TEST(TarReader, ZeroFirstBlockIsOneEmptyMember) {
  auto a = load(std::vector<std::byte>(2 * kTarBlockSize));
  ASSERT_EQ(a->MemberCount(), 1);
  EXPECT_EQ(a->MemberAt(0)->FileName, "");
  EXPECT_EQ(a->MemberAt(0)->UncompressedSize, 0u);
}

TEST(TarReader, GarbageAndShortFilesGiveFewMembersAndNoError) {
  EXPECT_EQ(load({})->MemberCount(), 0);
  EXPECT_EQ(load(bytesOf("not a tar at all"))->MemberCount(), 0);
}

TEST(TarReader, MemberRunningPastTheEndGivesAShortStreamAndTellsOnlyTheHook) {
  std::vector<std::byte> tar;
  entry(tar, "big", std::string(600, 'b'));
  tar.resize(kTarBlockSize + 100); // data cut after 100 bytes
  auto a = std::make_unique<TAbTarArchive>(std::make_unique<OwnedSource>(std::move(tar)), "t.tar");
  int failures = 0;
  a->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                int) { ++failures; };
  a->LoadDirectory();
  ASSERT_EQ(a->MemberCount(), 1);
  EXPECT_EQ(a->MemberAt(0)->UncompressedSize, 600u);
  EXPECT_EQ(extract(*a, "big"), std::string(100, 'b'));
  EXPECT_EQ(failures, 1);
  EXPECT_EQ(a->Status(), TAbArchiveStatus::asIdle);
}

TEST(TarReader, AbortFromTheProgressHookIsAnInvalidItem) {
  std::vector<std::byte> tar;
  entry(tar, "a", "1");
  end(tar);
  TAbTarArchive a(std::make_unique<OwnedSource>(std::move(tar)), "t.tar");
  a.OnArchiveProgress = [](TAbArchive&, int, bool& abort) { abort = true; };
  try {
    a.LoadDirectory();
    FAIL() << "no error";
  } catch (const EAbException& e) {
    EXPECT_STREQ(e.what(), "Invalid Item");
  }
  EXPECT_EQ(a.Status(), TAbArchiveStatus::asInvalid);
}

TEST(TarVerify, ChecksumOrMagic) {
  std::vector<std::byte> good;
  entry(good, "a", "1");
  // A ustar header with a long name in the prefix (past the first 345 bytes) still sums right.
  std::vector<std::byte> prefixed = header("name", 0);
  std::memcpy(prefixed.data() + TarField::MagicOff, "ustar\0" "00", 8);
  std::memcpy(prefixed.data() + 345, "some/long/prefix", 16);
  {
    std::memcpy(prefixed.data() + TarField::ChksumOff, "        ", 8);
    unsigned sum = 0;
    for (auto x : prefixed)
      sum += std::to_integer<unsigned>(x);
    char ck[8];
    std::snprintf(ck, sizeof ck, "%06o", sum);
    std::memcpy(prefixed.data() + TarField::ChksumOff, ck, 7);
  }
  std::vector<std::byte> magicOnly = header("a", 0);
  std::memcpy(magicOnly.data() + TarField::ChksumOff, "0000000", 7);
  std::vector<std::byte> badSum = magicOnly;
  std::memcpy(badSum.data() + TarField::MagicOff, "ustar\0" "00", 8);
  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
    int expected;
  } cases[] = {
      {"gnu header", good, 4},
      {"ustar with prefix", prefixed, 4},
      {"gnu magic, wrong sum", magicOnly, 4},
      {"ustar magic, wrong sum", badSum, 0},
      {"text", bytesOf(std::string(600, 'x')), 0},
      {"short", bytesOf("ustar"), 0},
  };
  for (auto& c : cases) {
    MemorySource src(c.bytes);
    EXPECT_EQ(VerifyTar(src), c.expected) << c.what;
  }
}

// GNU tar in its gnu, ustar and pax formats, with a long name, a folder and both kinds of link:
// the regular files are listed and their bytes come out unchanged.
TEST(TarInterop, GnuTarFormats) {
  if (!test::haveProgram("tar"))
    GTEST_SKIP() << "GNU tar not installed";
  test::ScratchDir dir;
  const std::string longName = std::string(60, 'd') + "/" + std::string(60, 'f') + ".txt";
  std::filesystem::create_directories(dir / "src" / std::string(60, 'd'));
  test::writeFile(dir / "src" / longName, "long named payload");
  test::writeFile(dir / "src" / "payload.bin", std::string(5000, 'P') + "END");
  std::filesystem::create_directories(dir / "src" / "empty");
  std::filesystem::create_symlink("payload.bin", dir / "src" / "sym");
  std::filesystem::create_hard_link(dir / "src" / "payload.bin", dir / "src" / "hard");
  for (const std::string format : {"gnu", "ustar", "pax"}) {
    SCOPED_TRACE(format);
    const auto tarPath = dir / (format + ".tar");
    ASSERT_EQ(test::run("cd '" + (dir / "src").string() + "' && tar --format=" + format +
                        " -cf '" + tarPath.string() + "' payload.bin hard sym empty " + longName +
                        " 2>/dev/null"),
              0);
    TAbTarArchive a(tarPath.string());
    a.LoadDirectory();
    // payload.bin and the long-named file; the hard link, symlink and folder are no members.
    ASSERT_EQ(a.MemberCount(), 2);
    EXPECT_EQ(a.MemberAt(0)->FileName, "payload.bin");
    EXPECT_EQ(extract(a, "payload.bin"), std::string(5000, 'P') + "END");
    VectorSink sink;
    a.ExtractMemberToStream(a.MemberAt(1)->FileName, sink);
    EXPECT_EQ(textOf(sink.bytes()), "long named payload");
    EXPECT_LE(a.MemberAt(1)->FileName.size(), 100u);
    auto src = platform::FileSource::open(tarPath.string());
    ASSERT_TRUE(src);
    EXPECT_EQ(VerifyTar(*src), 4);
  }
}

} // namespace
} // namespace kyv::archive
