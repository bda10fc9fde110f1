// Compiled-help container. Most cases use containers built in code by ChmBuilder (chm_builder.h:
// layout as the format describes it, content compressed by the LZX writer of lzx_test_writer.h);
// the interoperability cases read files made by Free Pascal's chmcmd and the shared fixtures.
#include "chm/chm_unpacker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/endian.h"
#include "base/error.h"
#include "chm_builder.h"
#include "test_support.h"

namespace kyv::chm {
namespace {

using kyv::test::bytesOf;
using kyv::test::textOf;

using test::ChmBuilder;
using test::kDirOffset;
using test::kFirstChunk;
using test::putEncInt;
using test::putLe32;

// Counts what is read through it, to show that a section is decoded only once.
class CountingSource final : public ByteSource {
public:
  CountingSource(std::vector<std::byte> bytes, std::uint64_t* counter)
      : bytes_(std::move(bytes)), inner_(bytes_), counter_(counter) {}
  std::size_t read(std::span<std::byte> out) override {
    const std::size_t n = inner_.read(out);
    *counter_ += n;
    return n;
  }
  bool seek(std::uint64_t offset) override { return inner_.seek(offset); }
  std::uint64_t size() const override { return inner_.size(); }
  std::uint64_t position() const override { return inner_.position(); }

private:
  std::vector<std::byte> bytes_;
  MemorySource inner_;
  std::uint64_t* counter_;
};

std::unique_ptr<ByteSource> memory(std::vector<std::byte> bytes) {
  static std::uint64_t ignored;
  return std::make_unique<CountingSource>(std::move(bytes), &ignored);
}

std::string extract(TCHMUnpacker& u, const std::string& name, bool* ok = nullptr) {
  const int i = u.FindItem(name);
  EXPECT_GE(i, 0) << name;
  if (i < 0)
    return {};
  VectorSink sink;
  const bool written = u.ExtractItem(sink, u.Items()[static_cast<std::size_t>(i)]);
  if (ok != nullptr)
    *ok = written;
  else
    EXPECT_TRUE(written) << name;
  return textOf(sink.bytes());
}

std::string pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>(seed + (i * 7 + i / 13) % 61);
  return s;
}

ChmBuilder typicalContainer() {
  ChmBuilder b;
  b.plainFiles = {{"/#SYSTEM", "system data"}, {"/plain.txt", "stored as is"}};
  // 100 000 bytes: more than one window (64 KB), so the stream passes a reset point.
  b.compressedFiles = {{"/a.html", pattern(70000, 'A')}, {"/b.bin", pattern(30000, '0')}};
  return b;
}

TEST(TCHMUnpacker, ServesStoredAndCompressedItemsInDirectoryOrder) {
  const ChmBuilder b = typicalContainer();
  std::uint64_t reads = 0;
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(std::make_unique<CountingSource>(b.build(), &reads)));

  ASSERT_GE(u.Items().size(), 4u);
  EXPECT_EQ(u.Items()[0].Name, "/#SYSTEM");
  EXPECT_EQ(u.Items()[1].Name, "/plain.txt");
  ASSERT_EQ(u.Sections().size(), 2u);
  EXPECT_EQ(u.Sections()[0].Name, "Uncompressed");
  EXPECT_EQ(u.Sections()[0].Method, "Not compressed");
  EXPECT_FALSE(u.Sections()[0].Compressed);
  EXPECT_EQ(u.Sections()[1].Name, "MSCompressed");
  EXPECT_EQ(u.Sections()[1].Method, "LZXC");
  EXPECT_EQ(u.Sections()[1].WindowBits, 16);
  EXPECT_EQ(u.Sections()[1].UncompressedLength, 100000u);

  EXPECT_EQ(extract(u, "/plain.txt"), "stored as is");
  // The second item of the section continues the decode of the first: the compressed data is
  // read once in all.
  const std::uint64_t beforeSection = reads;
  EXPECT_EQ(extract(u, "/a.html"), b.compressedFiles[0].second);
  EXPECT_EQ(extract(u, "/b.bin"), b.compressedFiles[1].second);
  EXPECT_EQ(reads - beforeSection, u.Sections()[1].CompressedLength);
  // Back to the first: decoded again from the start of the section, with the same bytes.
  EXPECT_EQ(extract(u, "/a.html"), b.compressedFiles[0].second);
}

TEST(TCHMUnpacker, StreamOrderTakesPlainItemsFirstThenEachSectionByOffset) {
  ChmBuilder b = typicalContainer();
  // Listed (as directories are) by name, not by where the data lies.
  b.extraEntries = {{"/0-last-in-section", 1, 99000, 1000}, {"/1-middle", 1, 50000, 10}};
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  std::vector<std::string> names;
  for (const std::size_t i : u.ItemsInStreamOrder())
    if (!u.Items()[i].Name.starts_with("::"))
      names.push_back(u.Items()[i].Name);
  const std::vector<std::string> expected = {"/#SYSTEM",  "/plain.txt", "/a.html",
                                             "/1-middle", "/b.bin",     "/0-last-in-section"};
  EXPECT_EQ(names, expected);
}

TEST(TCHMUnpacker, FindItemIgnoresLetterCaseAndSurroundingBlanks) {
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(typicalContainer().build())));
  EXPECT_EQ(u.FindItem("  ::dataspace/NAMELIST\t"), u.FindItem("::DataSpace/NameList"));
  EXPECT_GE(u.FindItem("/PLAIN.TXT "), 0);
  EXPECT_EQ(u.FindItem("/missing"), -1);
}

TEST(TCHMUnpacker, UnusableContainersAreNotOpened) {
  struct Case {
    const char* what;
    void (*mutate)(ChmBuilder&, std::vector<std::byte>&);
  };
  const Case cases[] = {
      {"file signature", [](ChmBuilder&, std::vector<std::byte>& f) { f[0] = std::byte{'X'}; }},
      {"directory signature",
       [](ChmBuilder&, std::vector<std::byte>& f) { f[kDirOffset + 3] = std::byte{'X'}; }},
      {"directory offset past the end",
       [](ChmBuilder&, std::vector<std::byte>& f) {
         putLe32(f, 72, static_cast<std::uint32_t>(f.size() + 1));
       }},
      {"header section below the header",
       [](ChmBuilder&, std::vector<std::byte>& f) { putLe32(f, 56, 10); }},
      {"no name list",
       [](ChmBuilder& b, std::vector<std::byte>& f) {
         b.nameList = false;
         f = b.build();
       }},
      {"101 section names",
       [](ChmBuilder& b, std::vector<std::byte>& f) {
         b.nameCount = 101;
         f = b.build();
       }},
      {"chunk size 0",
       [](ChmBuilder&, std::vector<std::byte>& f) { putLe32(f, kDirOffset + 16, 0); }},
      {"truncated header", [](ChmBuilder&, std::vector<std::byte>& f) { f.resize(40); }},
  };
  for (const Case& c : cases) {
    ChmBuilder b = typicalContainer();
    std::vector<std::byte> file = b.build();
    c.mutate(b, file);
    TCHMUnpacker u;
    EXPECT_FALSE(u.Open(memory(file))) << c.what;
  }
}

TEST(TCHMUnpacker, ContainerWithOnlyTheUncompressedSectionServesPlainCopies) {
  ChmBuilder b = typicalContainer();
  b.nameCount = 1; // the name list names only the first (uncompressed) section
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  ASSERT_EQ(u.Sections().size(), 1u);
  EXPECT_EQ(extract(u, "/#SYSTEM"), "system data");
  EXPECT_EQ(extract(u, "/plain.txt"), "stored as is");
  bool ok = true;
  EXPECT_EQ(extract(u, "/a.html", &ok), ""); // its section is not there
  EXPECT_FALSE(ok);
}

TEST(TCHMUnpacker, IndexChunksAreSkipped) {
  ChmBuilder b = typicalContainer();
  b.indexChunkFirst = true;
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  EXPECT_EQ(u.FindItem("/ghost"), -1);
  EXPECT_EQ(extract(u, "/plain.txt"), "stored as is");
}

TEST(TCHMUnpacker, DirectoryWalkIsBoundedByTheFile) {
  // A chunk count of 2^31 - 1: the walk ends at the end of the file, with every real entry read.
  std::vector<std::byte> file = typicalContainer().build();
  putLe32(file, kDirOffset + 44, 0x7FFFFFFF);
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(file)));
  EXPECT_EQ(extract(u, "/b.bin"), pattern(30000, '0'));
}

TEST(TCHMUnpacker, OverlongNameEndsItsChunkOnly) {
  // A first listing chunk whose only entry claims a 1001-byte name; the real listing follows.
  ChmBuilder b = typicalContainer();
  b.indexChunkFirst = true;
  std::vector<std::byte> file = b.build();
  std::memcpy(file.data() + kFirstChunk, "PMGL", 4);
  std::vector<std::byte> entry;
  putEncInt(entry, 1001);
  std::copy(entry.begin(), entry.end(), file.begin() + kFirstChunk + 20);
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(file)));
  EXPECT_EQ(extract(u, "/a.html"), pattern(70000, 'A'));
}

TEST(TCHMUnpacker, WindowSizeOutsideTheTableGivesNoCompressedData) {
  ChmBuilder b = typicalContainer();
  b.windowUnits = 3;
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  EXPECT_EQ(u.Sections()[1].WindowBits, -1);
  bool ok = true;
  EXPECT_EQ(extract(u, "/a.html", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(extract(u, "/plain.txt"), "stored as is");
}

TEST(TCHMUnpacker, ItemsPastTheirDataAreCutOrRefused) {
  ChmBuilder b = typicalContainer();
  b.extraEntries = {{"/beyond-section", 1, 99990, 100},
                    {"/beyond-file", 0, 0, 0x7FFFFFFF},
                    {"/no-section", 7, 0, 10}};
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  bool ok = true;
  EXPECT_EQ(extract(u, "/beyond-section", &ok), pattern(30000, '0').substr(29990));
  EXPECT_FALSE(ok);
  EXPECT_EQ(extract(u, "/no-section", &ok), "");
  EXPECT_FALSE(ok);
  VectorSink sink;
  EXPECT_THROW(
      (void)u.ExtractItem(sink, u.Items()[static_cast<std::size_t>(u.FindItem("/beyond-file"))]),
      kyv::Error);
}

// The reset table declares 768 MiB for a section that holds 100 000 bytes: its items come out
// whole while the decoder holds no more than its window, its input buffer and two frames, and an
// item placed far past the real data is refused once the data runs out, not after 500 MB.
TEST(TCHMUnpacker, SectionDeclaringFarMoreThanItHoldsCostsBoundedMemory) {
  ChmBuilder b = typicalContainer();
  b.uncompressedLengthDelta = (768u << 20) - 100000;
  b.extraEntries = {{"/far", 1, 500u << 20, 10}};
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  EXPECT_EQ(u.Sections()[1].UncompressedLength, 768u << 20);
  EXPECT_EQ(extract(u, "/a.html"), pattern(70000, 'A'));
  EXPECT_EQ(extract(u, "/b.bin"), pattern(30000, '0'));
  bool ok = true;
  EXPECT_EQ(extract(u, "/far", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_GT(u.DecoderMemory(), 64u * 1024); // the window at least
  EXPECT_LT(u.DecoderMemory(), 1u << 20);
}

// The bytes decoded between items are told to the gate before the work is done; a refusal
// leaves that item out and the others as they were.
TEST(TCHMUnpacker, GapsBetweenItemsAreAskedForFirst) {
  ChmBuilder b = typicalContainer();
  b.extraEntries = {{"/tail", 1, 99000, 1000}};
  std::vector<std::uint64_t> asked;
  bool allow = true;
  TCHMUnpacker u;
  ASSERT_TRUE(u.Open(memory(b.build())));
  u.DecodeGate = [&](std::uint64_t bytes) {
    asked.push_back(bytes);
    return allow;
  };
  EXPECT_TRUE(extract(u, "/a.html") == pattern(70000, 'A'));
  EXPECT_TRUE(asked.empty()); // nothing before the first item
  EXPECT_TRUE(extract(u, "/tail") == pattern(30000, '0').substr(29000));
  EXPECT_EQ(asked, std::vector<std::uint64_t>{29000});
  allow = false;
  // Back to the start (a new decode, nothing skipped), then the same gap again, refused.
  EXPECT_TRUE(extract(u, "/a.html") == pattern(70000, 'A'));
  bool ok = true;
  EXPECT_EQ(extract(u, "/tail", &ok), "");
  EXPECT_FALSE(ok);
  EXPECT_EQ(asked, (std::vector<std::uint64_t>{29000, 29000}));
}

TEST(TCHMUnpacker, OpensByFileNameAndReportsAMissingFile) {
  kyv::test::ScratchDir dir;
  kyv::test::writeFile(dir / "help.chm", typicalContainer().build());
  TCHMUnpacker u;
  u.SetFileName((dir / "help.chm").string());
  ASSERT_TRUE(u.Open());
  EXPECT_EQ(extract(u, "/a.html"), pattern(70000, 'A'));

  TCHMUnpacker missing;
  missing.SetFileName((dir / "absent.chm").string());
  EXPECT_THROW((void)missing.Open(), kyv::Error);
}

// --- Files made by other tools -------------------------------------------------------------

// testdata/chmcmd-small.chm was made by Free Pascal's chmcmd 3.2.2 from testdata/chmcmd/
// (`chmcmd --no-html-scan project.hhp`): LZX with a 64 KB window, 93 KB of content, so the
// decoder passes one reset point.
TEST(TCHMUnpackerInterop, CommittedChmcmdFileMatchesItsSources) {
  const auto dir = kyv::test::sourceDir() / "src" / "chm" / "testdata";
  TCHMUnpacker u;
  u.SetFileName((dir / "chmcmd-small.chm").string());
  ASSERT_TRUE(u.Open());
  for (const char* name : {"index.html", "notes.txt", "tables.bin"})
    EXPECT_TRUE(extract(u, std::string("/") + name) ==
                textOf(kyv::test::readFile(dir / "chmcmd" / name)))
        << name;
}

TEST(TCHMUnpackerInterop, ChmcmdFilesOfSeveralSizesMatchTheirSources) {
  if (!kyv::test::haveProgram("chmcmd"))
    GTEST_SKIP() << "chmcmd not installed";
  std::mt19937 rng(11);
  auto text = [&](std::size_t n) {
    static const char* words[] = {"alpha", "beta",  "gamma",  "delta", "window", "frame", "help",
                                  "topic", "index", "search", "table", "virus",  "mail"};
    std::string s;
    while (s.size() < n) {
      s += words[rng() % 13];
      s += (rng() % 9 == 0) ? "\n" : " ";
    }
    return s;
  };
  auto binary = [&](std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
      s[i] = static_cast<char>(i % 5 == 0 ? rng() : (i / 64) & 0xFF);
    return s;
  };
  struct Project {
    const char* name;
    std::vector<std::pair<std::string, std::string>> files;
  };
  const std::vector<Project> projects = {
      {"tiny", {{"index.html", "<html><body>one page</body></html>\n"}}},
      {"binary",
       // (chmcmd stores any one-byte file as "T", as every reader agrees; three bytes it keeps)
       {{"index.html", text(3000)},
        {"data.bin", binary(200000)},
        {"empty.txt", ""},
        {"small.bin", "\x01\x02\x03"}}},
      {"large",
       {{"index.html", text(2500000)}, {"tools.bin", binary(700000)}, {"more.html", text(300000)}}},
  };
  for (const Project& p : projects) {
    kyv::test::ScratchDir dir;
    std::string hhp =
        "[OPTIONS]\nCompiled file=out.chm\nDefault topic=index.html\nTitle=t\n\n[FILES]\n";
    for (const auto& [name, data] : p.files) {
      kyv::test::writeFile(dir / name, data);
      hhp += name + "\n";
    }
    kyv::test::writeFile(dir / "p.hhp", hhp);
    ASSERT_EQ(kyv::test::run("cd '" + dir.path().string() +
                             "' && chmcmd --no-html-scan p.hhp >/dev/null 2>&1"),
              0)
        << p.name;
    TCHMUnpacker u;
    u.SetFileName((dir / "out.chm").string());
    ASSERT_TRUE(u.Open()) << p.name;
    for (const auto& [name, data] : p.files)
      EXPECT_TRUE(extract(u, "/" + name) == data) << p.name << " " << name;
  }
}

// Made by the help compiler of the platform (HTML Help Workshop): compared with the listing in the
// fixture manifest and, where chmlib's extract_chmLib is installed, with its output file by file.
TEST(TCHMUnpackerInterop, HelpWorkshopFixtures) {
  struct Case {
    const char* file;
    std::vector<std::pair<std::string, std::uint32_t>> listing;
  };
  const Case cases[] = {
      {"chm/pychm-example.chm",
       {{"/Documents/Table of Contents.hhc", 566}, {"/page 1.html", 170}, {"/page 2.html", 181}}},
      {"chm/pychm-combined.chm",
       {{"/Index.hhk", 464}, {"/Untitled1.htm", 211}, {"/Untitled2.htm", 199}}},
      {"chm/pychm-combined2.chm", {{"/Table of Contents2.hhc", 424}, {"/Untitled2.htm", 199}}},
  };
  for (const Case& c : cases) {
    const auto path = kyv::test::fixture(c.file);
    TCHMUnpacker u;
    u.SetFileName(path.string());
    ASSERT_TRUE(u.Open()) << c.file;
    for (const auto& [name, length] : c.listing) {
      const int i = u.FindItem(name);
      ASSERT_GE(i, 0) << name;
      EXPECT_EQ(u.Items()[static_cast<std::size_t>(i)].Length, length) << name;
      EXPECT_EQ(extract(u, name).size(), length) << name;
    }
    if (!kyv::test::haveProgram("extract_chmLib"))
      continue;
    kyv::test::ScratchDir ref;
    ASSERT_EQ(kyv::test::run("extract_chmLib '" + path.string() + "' '" + ref.path().string() +
                             "' >/dev/null 2>&1"),
              0);
    int compared = 0;
    for (const TCHMDirItem& item : u.Items()) {
      if (item.Name.starts_with("::") || item.Length == 0)
        continue;
      const auto theirs = ref.path() / item.Name.substr(1);
      ASSERT_TRUE(std::filesystem::exists(theirs)) << item.Name;
      EXPECT_TRUE(extract(u, item.Name) == textOf(kyv::test::readFile(theirs)))
          << c.file << item.Name;
      ++compared;
    }
    EXPECT_GT(compared, 5) << c.file;
  }
}

// Malformed files from another decoder's regression set: the directory or the content section is
// damaged or missing; none of them is opened, and none takes the reader outside the file.
TEST(TCHMUnpackerInterop, MalformedFixturesAreRefused) {
  for (const char* name :
       {"libmspack-cve-2015-4468-namelen-bounds.chm", "libmspack-cve-2015-4469-namelen-bounds.chm",
        "libmspack-cve-2015-4472-namelen-bounds.chm",
        "libmspack-cve-2017-6419-lzx-negative-spaninfo.chm",
        "libmspack-cve-2018-14679-off-by-one.chm", "libmspack-cve-2018-14680-blank-filenames.chm",
        "libmspack-cve-2018-14682-unicode-u100.chm", "libmspack-cve-2019-1010305-name-overread.chm",
        "libmspack-encints-32bit-both.chm", "libmspack-encints-64bit-both.chm"}) {
    const auto path = kyv::test::fixture(std::string("chm/") + name);
    TCHMUnpacker u;
    u.SetFileName(path.string());
    EXPECT_FALSE(u.Open()) << name;
  }
}

// Random damage to real files: whatever happens, no crash, no hang, and nothing read or written
// outside the buffers (the sanitizer builds check the last part).
TEST(TCHMUnpackerRobustness, RandomlyCorruptedFilesAreHandled) {
  std::vector<std::vector<std::byte>> originals;
  originals.push_back(kyv::test::readFile(kyv::test::sourceDir() / "src" / "chm" / "testdata" /
                                          "chmcmd-small.chm"));
  originals.push_back(typicalContainer().build());
  originals.push_back(kyv::test::readFile(kyv::test::fixture("chm/pychm-example.chm")));
  std::mt19937 rng(1234);
  int opened = 0;
  for (const auto& original : originals) {
    for (int round = 0; round < 150; ++round) {
      std::vector<std::byte> file = original;
      const int flips = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < flips; ++i)
        file[rng() % file.size()] = static_cast<std::byte>(rng());
      TCHMUnpacker u;
      try {
        if (!u.Open(memory(file)))
          continue;
        ++opened;
        for (const TCHMDirItem& item : u.Items()) {
          VectorSink sink(1u << 24);
          (void)u.ExtractItem(sink, item);
        }
      } catch (const kyv::Error&) {
        // a read past the end of the file is reported, not survived silently
      }
    }
  }
  EXPECT_GT(opened, 0); // most damage leaves the directory readable
}

} // namespace
} // namespace kyv::chm
