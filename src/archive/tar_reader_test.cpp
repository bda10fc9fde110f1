// The TAR reader: octal fields, the walk over regular entries, extraction, the content test, and
// archives made by GNU tar in its three formats.
#include "archive/tar_reader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/file.h"
#include "owned_source.h"
#include "pieces_source.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::bytesOf;
using test::textOf;

using test::OwnedSource;

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

// A pax extended header entry holding the given records.
void pax(std::vector<std::byte>& tar,
         const std::vector<std::pair<std::string, std::string>>& records, char type = 'x') {
  std::string data;
  for (const auto& [key, value] : records) {
    const std::string body = " " + key + "=" + value + "\n";
    std::size_t length = body.size() + 1;
    while (std::to_string(length).size() + body.size() != length)
      ++length;
    data += std::to_string(length) + body;
  }
  entry(tar, "PaxHeaders/x", data, type);
}

std::string extractAt(TAbArchive& a, int index) {
  VectorSink sink;
  a.ExtractMemberToStreamAt(index, sink);
  return textOf(sink.bytes());
}

std::unique_ptr<TAbTarArchive> load(std::vector<std::byte> bytes) {
  auto a =
      std::make_unique<TAbTarArchive>(std::make_unique<OwnedSource>(std::move(bytes)), "t.tar");
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
      {"0001\x80"
       "77",
       1},                                   // stops at the first non-octal byte
      {"\x80\0\0\0\0\0\0\0\0\0\x03\xE8", 0}, // base-256 reads as 0
      {"77777777777\0", 077777777777},
      {"0008", 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseOctal(bytesOf(c.field)), c.value) << c.field;
}

TEST(TarParseTarNumber, OctalAndBase256) {
  struct Case {
    std::string field;
    std::uint64_t value;
  } cases[] = {
      {"00000001750 ", 1000},
      {std::string("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12), std::uint64_t{8} << 30}, // 8 GiB
      {std::string("\x80\0\0\0\0\0\0\0\0\0\x03\xE8", 12), 1000},
      {std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 12), 0}, // negative
      {std::string("\x80\x01\0\0\0\0\0\0\0\0\0\0", 12), UINT64_MAX},            // past 64 bits
  };
  for (const auto& c : cases)
    EXPECT_EQ(ParseTarNumber(bytesOf(c.field)), c.value);
}

// Names longer than the 100-byte field, kept in each of the places writers put them. Two
// members share their first 100 bytes: each keeps its own name and bytes.
TEST(TarReader, LongNamesFromEveryPlaceStayDistinct) {
  const std::string stem(100, 's');
  std::vector<std::byte> tar;
  entry(tar, "././@LongLink", stem + "/gnu-one" + '\0', 'L');
  entry(tar, stem, "gnu one");
  entry(tar, "././@LongLink", stem + "/gnu-two" + '\0', 'L');
  entry(tar, stem, "gnu two");
  pax(tar, {{"path", stem + "/pax-one"}});
  entry(tar, stem, "pax one");
  pax(tar, {{"comment", "applies to all"}}, 'g');
  pax(tar, {{"path", stem + "/pax-two"}, {"size", "7"}});
  entry(tar, stem, "pax two");
  // POSIX ustar: the prefix field holds the leading folders.
  auto prefixed = header("ustar-one", 9);
  std::memcpy(prefixed.data() + TarField::MagicOff,
              "ustar\0"
              "00",
              8);
  std::memcpy(prefixed.data() + TarField::PrefixOff, stem.data(), 100);
  tar.insert(tar.end(), prefixed.begin(), prefixed.end());
  const auto ustarData = bytesOf("ustar one");
  tar.insert(tar.end(), ustarData.begin(), ustarData.end());
  tar.resize((tar.size() + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize);
  end(tar);
  auto a = load(std::move(tar));
  const char* names[] = {"/gnu-one", "/gnu-two", "/pax-one", "/pax-two", "/ustar-one"};
  const char* contents[] = {"gnu one", "gnu two", "pax one", "pax two", "ustar one"};
  ASSERT_EQ(a->MemberCount(), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(a->MemberAt(i)->FileName, stem + names[i]);
    EXPECT_EQ(extractAt(*a, i), contents[i]);
  }
}

// A size too large for the octal field: base-256 in the header, or a pax record. The walk
// steps over the member by its real size and finds what follows.
TEST(TarReader, MembersOfManyGiBAreSizedRightAndCutByTheTarget) {
  constexpr std::uint64_t kBig = std::uint64_t{8} << 30;
  for (const bool usePax : {false, true}) {
    SCOPED_TRACE(usePax ? "pax size" : "base-256 size");
    std::vector<std::byte> head;
    if (usePax)
      pax(head, {{"size", std::to_string(kBig)}});
    auto big = header("big.bin", 0);
    if (!usePax) {
      const std::string field("\x80\0\0\0\0\0\0\x02\0\0\0\0", 12);
      std::memcpy(big.data() + TarField::SizeOff, field.data(), field.size());
    }
    head.insert(head.end(), big.begin(), big.end());
    const auto start = bytesOf("START");
    head.insert(head.end(), start.begin(), start.end());
    std::vector<std::byte> after;
    entry(after, "after.txt", "after the big one");
    end(after);
    auto source = std::make_unique<test::PiecesSource>();
    const std::uint64_t afterAt = head.size() - start.size() + kBig;
    source->put(0, head);
    source->put(afterAt, after);
    TAbTarArchive a(std::move(source), "big.tar");
    int failures = 0;
    a.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
      ++failures;
    };
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 2);
    EXPECT_EQ(a.MemberAt(0)->UncompressedSize, kBig);
    EXPECT_EQ(a.MemberAt(1)->FileName, "after.txt");
    EXPECT_EQ(extractAt(a, 1), "after the big one");
    VectorSink limited(1 << 20);
    a.ExtractMemberToStreamAt(0, limited);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(textOf(std::span(limited.bytes()).first(5)), "START");
  }
}

// Sparse members come out at their real size, holes as zeros; a map that goes backwards or
// past the real size is damage, told to the hook.
TEST(TarReader, SparseMembersAreExpanded) {
  const auto put12 = [](std::vector<std::byte>& b, std::size_t at, std::uint64_t v) {
    char text[13];
    std::snprintf(text, sizeof text, "%011llo", static_cast<unsigned long long>(v));
    std::memcpy(b.data() + at, text, 11);
  };
  // Old GNU form: two segments in the header, one more in an extension block.
  std::vector<std::byte> gnu;
  auto h = header("gnu-sparse", 9, 'S');
  put12(h, TarField::GnuSparseOff, 2);
  put12(h, TarField::GnuSparseOff + 12, 3);
  put12(h, TarField::GnuSparseOff + 24, 10);
  put12(h, TarField::GnuSparseOff + 36, 3);
  h[TarField::GnuIsExtendedOff] = std::byte{1};
  put12(h, TarField::GnuRealSizeOff, 20);
  gnu.insert(gnu.end(), h.begin(), h.end());
  std::vector<std::byte> ext(kTarBlockSize);
  put12(ext, 0, 16);
  put12(ext, 12, 3);
  gnu.insert(gnu.end(), ext.begin(), ext.end());
  const auto stored = bytesOf("AAABBBCCC");
  gnu.insert(gnu.end(), stored.begin(), stored.end());
  gnu.resize(gnu.size() + kTarBlockSize - stored.size());
  entry(gnu, "next", "next member");
  end(gnu);
  auto a = load(gnu);
  ASSERT_EQ(a->MemberCount(), 2);
  EXPECT_EQ(a->MemberAt(0)->UncompressedSize, 20u);
  EXPECT_EQ(a->MemberAt(0)->CompressedSize, 9u);
  const std::string expected = std::string("\0\0AAA", 5) + std::string(5, '\0') + "BBB" +
                               std::string(3, '\0') + "CCC" + std::string(1, '\0');
  EXPECT_EQ(extractAt(*a, 0), expected);
  EXPECT_EQ(extractAt(*a, 1), "next member");

  // pax 0.1 maps, good and damaged.
  struct Case {
    const char* map;
    const char* realSize;
    std::string expected; // empty: damaged
  } cases[] = {
      {"0,2,4,2", "8", std::string("AA\0\0BB\0\0", 8)},
      {"4,2,0,2", "8", ""}, // backwards
      {"0,2,7,2", "8", ""}, // past the real size
      {"0,2,4", "8", ""},   // odd count
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.map);
    std::vector<std::byte> tar;
    pax(tar, {{"GNU.sparse.map", c.map},
              {"GNU.sparse.realsize", c.realSize},
              {"GNU.sparse.name", "real-name"}});
    entry(tar, "GNUSparseFile.1/real-name", "AABB");
    end(tar);
    auto b = load(std::move(tar));
    ASSERT_EQ(b->MemberCount(), 1);
    EXPECT_EQ(b->MemberAt(0)->FileName, "real-name");
    int failures = 0;
    b->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                  int) { ++failures; };
    const std::string got = extractAt(*b, 0);
    if (c.expected.empty()) {
      EXPECT_EQ(failures, 1);
    } else {
      EXPECT_EQ(failures, 0);
      EXPECT_EQ(got, c.expected);
    }
  }
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
  EXPECT_EQ(a->MemberAt(0)->FileName, std::string(150, 'L')); // the GNU long name
  EXPECT_EQ(a->MemberAt(1)->FileName, "a.txt");
  EXPECT_EQ(a->MemberAt(1)->UncompressedSize, 5u);
  EXPECT_EQ(a->MemberAt(1)->CompressedSize, 5u);
  EXPECT_EQ(a->MemberAt(2)->FileName, "old");
  EXPECT_EQ(extract(*a, "a.txt"), "alpha");
  EXPECT_EQ(extract(*a, std::string(150, 'L')), "long");
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
  a->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
    ++failures;
  };
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
  std::memcpy(prefixed.data() + TarField::MagicOff,
              "ustar\0"
              "00",
              8);
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
  std::memcpy(badSum.data() + TarField::MagicOff,
              "ustar\0"
              "00",
              8);
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

// GNU tar in its gnu, ustar and pax formats, with long names, a folder and both kinds of link:
// the regular files are listed and their bytes come out unchanged.
TEST(TarInterop, GnuTarFormats) {
  if (!test::haveProgram("tar"))
    GTEST_SKIP() << "GNU tar not installed";
  test::ScratchDir dir;
  const std::string longName = std::string(60, 'd') + "/" + std::string(60, 'f') + ".txt";
  std::filesystem::create_directories(dir / "src" / std::string(60, 'd'));
  test::writeFile(dir / "src" / longName, "long named payload");
  // A second long name sharing its first 100 bytes with the first.
  const std::string twinName = std::string(60, 'd') + "/" + std::string(60, 'f') + ".two";
  test::writeFile(dir / "src" / twinName, "the twin's payload");
  test::writeFile(dir / "src" / "payload.bin", std::string(5000, 'P') + "END");
  std::filesystem::create_directories(dir / "src" / "empty");
  std::filesystem::create_symlink("payload.bin", dir / "src" / "sym");
  std::filesystem::create_hard_link(dir / "src" / "payload.bin", dir / "src" / "hard");
  for (const std::string format : {"gnu", "ustar", "pax"}) {
    SCOPED_TRACE(format);
    const auto tarPath = dir / (format + ".tar");
    ASSERT_EQ(test::run("cd '" + (dir / "src").string() + "' && tar --format=" + format + " -cf '" +
                        tarPath.string() + "' payload.bin hard sym empty " + longName + " " +
                        twinName + " 2>/dev/null"),
              0);
    TAbTarArchive a(tarPath.string());
    a.LoadDirectory();
    // payload.bin and the long-named file; the hard link, symlink and folder are no members.
    ASSERT_EQ(a.MemberCount(), 3);
    EXPECT_EQ(a.MemberAt(0)->FileName, "payload.bin");
    EXPECT_EQ(a.MemberAt(2)->FileName, twinName);
    EXPECT_EQ(extractAt(a, 2), "the twin's payload");
    EXPECT_EQ(extract(a, "payload.bin"), std::string(5000, 'P') + "END");
    VectorSink sink;
    a.ExtractMemberToStream(a.MemberAt(1)->FileName, sink);
    EXPECT_EQ(textOf(sink.bytes()), "long named payload");
    EXPECT_EQ(a.MemberAt(1)->FileName, longName);
    auto src = platform::FileSource::open(tarPath.string());
    ASSERT_TRUE(src);
    EXPECT_EQ(VerifyTar(*src), 4);
  }
}

// Sparse files as GNU tar stores them in each format and sparse version: every member comes out
// byte for byte as the file that went in. The 8 GiB member (sparse on disk too) is listed at
// its size and the member after it is found; reading it is the budget's business.
TEST(TarInterop, GnuTarSparseMembers) {
  if (!test::haveProgram("tar") || !test::haveProgram("truncate"))
    GTEST_SKIP() << "GNU tar not installed";
  test::ScratchDir dir;
  const std::string cd = "cd '" + (dir / "src").string() + "' && ";
  std::filesystem::create_directories(dir / "src");
  ASSERT_EQ(test::run(cd +
                      "printf HEAD > holes && truncate -s 3M holes && printf MIDDLE >> holes && "
                      "truncate -s 6M holes && printf TAIL >> holes && "
                      "truncate -s 8G huge && printf after > after.txt"),
            0);
  std::string holes(6 * 1024 * 1024 + 4, '\0');
  holes.replace(0, 4, "HEAD");
  holes.replace(3 * 1024 * 1024, 6, "MIDDLE");
  holes.replace(6 * 1024 * 1024, 4, "TAIL");
  const char* variants[] = {"--format=gnu", "--format=posix", "--format=posix --sparse-version=0.0",
                            "--format=posix --sparse-version=0.1"};
  for (const char* variant : variants) {
    SCOPED_TRACE(variant);
    const auto tarPath = dir / "sparse.tar";
    ASSERT_EQ(test::run(cd + "tar " + variant + " --sparse -cf '" + tarPath.string() +
                        "' holes huge after.txt"),
              0);
    ASSERT_LT(std::filesystem::file_size(tarPath), 1u << 20);
    TAbTarArchive a(tarPath.string());
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 3);
    EXPECT_EQ(a.MemberAt(0)->FileName, "holes");
    EXPECT_EQ(extractAt(a, 0), holes);
    EXPECT_EQ(a.MemberAt(1)->FileName, "huge");
    EXPECT_EQ(a.MemberAt(1)->UncompressedSize, std::uint64_t{8} << 30);
    EXPECT_EQ(a.MemberAt(2)->FileName, "after.txt");
    EXPECT_EQ(extractAt(a, 2), "after");
    VectorSink limited(1 << 20);
    a.ExtractMemberToStreamAt(1, limited);
    EXPECT_EQ(limited.bytes().size(), std::size_t{1} << 20);
  }
}

} // namespace
} // namespace kyv::archive
