#include "document/compound_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "base/endian.h"
#include "base/error.h"
#include "cfb_writer.h"
#include "test_support.h"

namespace kyv::document {
namespace {

using test::CfbWriter;

std::string pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 131 + seed * 7 + i / 256) & 0xFF);
  return s;
}

struct Read {
  TCfbRead result;
  std::string bytes;
};

Read readPath(TCompoundFile& file, const std::string& path) {
  const auto id = file.Find(path);
  if (!id)
    return {TCfbRead::Short, "<missing>"};
  VectorSink sink;
  const TCfbRead result = file.ReadStream(*id, sink);
  return {result, test::textOf(sink.bytes())};
}

// A file with a stream in the mini stream, two in sectors of their own and a storage with a
// stream in it.
struct Sample {
  CfbWriter writer;
  std::uint32_t small = 0, big = 0, other = 0, dir = 0, inner = 0;
  std::string file;
  explicit Sample(unsigned shift = 9) : writer(shift) {
    small = writer.AddStream(CfbWriter::kRoot, "Small", pattern(100, 1));
    big = writer.AddStream(CfbWriter::kRoot, "Big", pattern(5000, 2));
    other = writer.AddStream(CfbWriter::kRoot, "Other", pattern(4500, 3));
    dir = writer.AddStorage(CfbWriter::kRoot, "Dir");
    inner = writer.AddStream(dir, "Inner", pattern(70, 4));
    file = writer.Build();
  }
};

TEST(CompoundFile, ReadsStreamsOfBothSectorSizesByPath) {
  for (const unsigned shift : {9u, 12u}) {
    SCOPED_TRACE(shift);
    Sample s(shift);
    MemorySource source(asBytes(s.file));
    TCompoundFile file(source);
    EXPECT_EQ(file.SectorSize(), 1u << shift);
    for (const auto& [path, bytes] :
         std::vector<std::pair<std::string, std::string>>{{"Small", pattern(100, 1)},
                                                          {"big", pattern(5000, 2)},
                                                          {"OTHER", pattern(4500, 3)},
                                                          {"Dir/Inner", pattern(70, 4)}}) {
      const Read r = readPath(file, path);
      EXPECT_EQ(r.result, TCfbRead::Complete) << path;
      EXPECT_EQ(r.bytes, bytes) << path;
    }
    EXPECT_FALSE(file.Find("Dir/Nothing"));
    EXPECT_FALSE(file.Find("Small/Inner"));
    // Read twice, a stream gives the same bytes: only other streams' sectors are refused.
    EXPECT_EQ(readPath(file, "Big").bytes, pattern(5000, 2));
    EXPECT_EQ(file.Entry(*file.Find("Dir/Inner")).Parent, *file.Find("Dir"));
    EXPECT_EQ(file.Anomalies(), 0u);
  }
}

TEST(CompoundFile, WalksLargeTreesInOrderAndAFatPastTheHeadersDifat) {
  // 300 siblings in one tree, and a stream long enough that the FAT needs more than the 109
  // sectors the header lists (each 512-byte FAT sector covers 64 KiB).
  CfbWriter writer;
  for (int i = 0; i < 300; ++i)
    writer.AddStream(CfbWriter::kRoot, "s" + std::to_string(1000 + i), std::to_string(i));
  const std::string large = pattern(110 * 65536, 9);
  writer.AddStream(CfbWriter::kRoot, "Large", large);
  const std::string bytes = writer.Build();
  ASSERT_GE(writer.DifatSectors().size(), 1u);
  MemorySource source(asBytes(bytes));
  TCompoundFile file(source);
  const auto& children = file.Children(TCompoundFile::kRootId);
  ASSERT_EQ(children.size(), 301u);
  EXPECT_EQ(file.NameOf(children[0]), "Large"); // shorter names sort first
  for (std::size_t i = 1; i < children.size(); ++i)
    EXPECT_EQ(file.NameOf(children[i]), "s" + std::to_string(999 + i));
  const Read r = readPath(file, "Large");
  EXPECT_EQ(r.result, TCfbRead::Complete);
  EXPECT_TRUE(r.bytes == large);
  EXPECT_EQ(readPath(file, "s1299").bytes, "299");
}

// Hostile files: a valid sample damaged in one place each. Every case ends; nothing is read
// outside the file; what cannot be read is reported short.
struct Hostile {
  const char* what;
  std::function<void(Sample&)> damage;
  bool throws;
  TCfbRead big;   // reading "Big" (regular sectors)
  TCfbRead small; // reading "Small" (mini sectors)
  bool anomalies; // the reader counted refused links or sectors
};

void put32(Sample& s, std::size_t at, std::uint32_t v) { CfbWriter::Put32(s.file, at, v); }
void entry32(Sample& s, std::uint32_t id, std::size_t field, std::uint32_t v) {
  put32(s, s.writer.EntryOffset(id) + field, v);
}
void fatNext(Sample& s, std::uint32_t sector, std::uint32_t v) {
  put32(s, s.writer.FatEntryOffset(sector), v);
}

const Hostile kHostile[] = {
    {"no signature", [](Sample& s) { s.file[0] = 'X'; }, true},
    {"cut inside the header", [](Sample& s) { s.file.resize(300); }, true},
    {"sector shift 10", [](Sample& s) { CfbWriter::Put16(s.file, 30, 10); }, true},
    {"sector shift 0", [](Sample& s) { CfbWriter::Put16(s.file, 30, 0); }, true},
    {"sector shift 31", [](Sample& s) { CfbWriter::Put16(s.file, 30, 31); }, true},
    // A version-3 file that says its sectors are 4096 bytes: its directory sector lies past
    // the end of the file when counted in those.
    {"sector shift 12 in a file of 512-byte sectors",
     [](Sample& s) { CfbWriter::Put16(s.file, 30, 12); }, true},
    {"mini sector shift 7", [](Sample& s) { CfbWriter::Put16(s.file, 32, 7); }, true},
    {"directory outside the file", [](Sample& s) { put32(s, 48, 0x00FFFFFF); }, true},
    {"no FAT sectors", [](Sample& s) { put32(s, 44, 0); }, true},
    {"root entry is a storage", [](Sample& s) { s.file[s.writer.EntryOffset(0) + 66] = 1; }, true},
    {"FAT sector count lies high", [](Sample& s) { put32(s, 44, 0xFFFFFFFF); }, false,
     TCfbRead::Complete, TCfbRead::Complete, false},
    {"FAT chain loops on itself",
     [](Sample& s) { fatNext(s, s.writer.StartOf(s.big) + 3, s.writer.StartOf(s.big) + 1); }, false,
     TCfbRead::Short, TCfbRead::Complete, true},
    {"FAT chain leaves the file",
     [](Sample& s) { fatNext(s, s.writer.StartOf(s.big), 0x00ABCDEF); }, false, TCfbRead::Short,
     TCfbRead::Complete, true},
    {"FAT chain runs into the FAT",
     [](Sample& s) { fatNext(s, s.writer.StartOf(s.big), s.writer.FatSectors()[0]); }, false,
     TCfbRead::Short, TCfbRead::Complete, true},
    {"FAT chain ends early", [](Sample& s) { fatNext(s, s.writer.StartOf(s.big) + 1, 0xFFFFFFFE); },
     false, TCfbRead::Short, TCfbRead::Complete, false},
    {"two streams share a chain",
     [](Sample& s) { entry32(s, s.big, 116, s.writer.StartOf(s.other)); }, false, TCfbRead::Short,
     TCfbRead::Complete, true},
    {"stream claims 4 GiB", [](Sample& s) { entry32(s, s.big, 120, 0xFFFFFFFF); }, false,
     TCfbRead::Short, TCfbRead::Complete, false},
    {"version-3 size with garbage in its upper half",
     [](Sample& s) { entry32(s, s.big, 124, 0xDEADBEEF); }, false, TCfbRead::Complete,
     TCfbRead::Complete, false},
    {"stream starts at a marker sector", [](Sample& s) { entry32(s, s.big, 116, 0xFFFFFFFD); },
     false, TCfbRead::Short, TCfbRead::Complete, true},
    {"miniFAT chain loops",
     [](Sample& s) {
       put32(s, s.writer.MiniFatEntryOffset(s.writer.StartOf(s.small)), s.writer.StartOf(s.small));
     },
     false, TCfbRead::Complete, TCfbRead::Short, true},
    {"mini stream start past the mini stream",
     [](Sample& s) { entry32(s, s.small, 116, 0x7FFFFFFF); }, false, TCfbRead::Complete,
     TCfbRead::Short, true},
    {"mini streams share sectors",
     [](Sample& s) { entry32(s, s.small, 116, s.writer.StartOf(s.inner)); }, false,
     TCfbRead::Complete, TCfbRead::Short, true},
    {"root claims a huge mini stream", [](Sample& s) { entry32(s, 0, 120, 0x7FFFFFFF); }, false,
     TCfbRead::Complete, TCfbRead::Complete, false},
    {"root claims no mini stream", [](Sample& s) { entry32(s, 0, 120, 0); }, false,
     TCfbRead::Complete, TCfbRead::Short, true},
    {"mini stream container runs into a stream",
     [](Sample& s) { entry32(s, 0, 116, s.writer.StartOf(s.big)); }, false, TCfbRead::Short,
     TCfbRead::Complete, true},
    {"sibling id past the directory",
     [](Sample& s) {
       entry32(s, s.big, 68, 0x7FFFFFFF);
       entry32(s, s.big, 72, 0x7FFFFFFF);
     },
     false, TCfbRead::Complete, TCfbRead::Complete, true},
    {"child points back at the root", [](Sample& s) { entry32(s, s.dir, 76, 0); }, false,
     TCfbRead::Complete, TCfbRead::Complete, true},
    {"storage is its own child", [](Sample& s) { entry32(s, s.dir, 76, s.dir); }, false,
     TCfbRead::Complete, TCfbRead::Complete, true},
    {"sibling cycle",
     [](Sample& s) {
       entry32(s, s.inner, 68, s.dir);
       entry32(s, s.inner, 72, s.inner);
     },
     false, TCfbRead::Complete, TCfbRead::Complete, true},
    {"name length lies",
     [](Sample& s) { CfbWriter::Put16(s.file, s.writer.EntryOffset(s.big) + 64, 0xFFFF); }, false,
     TCfbRead::Complete, TCfbRead::Complete, false},
    {"directory chain loops",
     [](Sample& s) { fatNext(s, s.writer.DirectoryStart() + 1, s.writer.DirectoryStart()); }, false,
     TCfbRead::Complete, TCfbRead::Complete, false},
    // The writer puts the FAT last: the entries that a cut FAT sector still holds are used.
    {"file cut inside its last sector", [](Sample& s) { s.file.resize(s.file.size() - 100); },
     false, TCfbRead::Complete, TCfbRead::Complete, false},
};

TEST(CompoundFile, ADirectoryPastTheEntryCapIsToldAsCut) {
  // With 4096-byte sectors, 32 entries each: the cap ends the chain inside the directory, and
  // the entries after it are not read. A directory of just under the cap is whole.
  for (const std::uint32_t storages : {kMaxDirectoryEntries - 1, kMaxDirectoryEntries + 40}) {
    CfbWriter writer(12);
    for (std::uint32_t i = 0; i < storages; ++i)
      writer.AddStorage(CfbWriter::kRoot, "d" + std::to_string(i));
    const std::string bytes = writer.Build();
    MemorySource source(asBytes(bytes));
    TCompoundFile file(source);
    EXPECT_EQ(file.DirectoryCut(), storages + 1 > kMaxDirectoryEntries) << storages;
    EXPECT_EQ(file.EntryCount(), std::min<std::size_t>(storages + 1, kMaxDirectoryEntries))
        << storages;
  }
}

TEST(CompoundFile, HostileFilesEndShortOrAreRefused) {
  for (const Hostile& c : kHostile) {
    SCOPED_TRACE(c.what);
    Sample s;
    c.damage(s);
    MemorySource source(asBytes(s.file));
    if (c.throws) {
      EXPECT_THROW(TCompoundFile file(source), kyv::Error);
      continue;
    }
    std::optional<TCompoundFile> file;
    ASSERT_NO_THROW(file.emplace(source));
    // Read in an order where a sharer comes last: the first owner of a sector keeps it.
    const Read other = readPath(*file, "Other");
    const Read inner = readPath(*file, "Dir/Inner");
    const Read big = readPath(*file, "Big");
    const Read small = readPath(*file, "Small");
    EXPECT_EQ(big.result, c.big);
    EXPECT_EQ(small.result, c.small);
    EXPECT_EQ(file->Anomalies() > 0, c.anomalies) << file->Anomalies();
    // Whatever the file says, the streams together give no more than the file holds.
    EXPECT_LE(other.bytes.size() + inner.bytes.size() + big.bytes.size() + small.bytes.size(),
              s.file.size());
    if (big.result == TCfbRead::Complete) {
      EXPECT_EQ(big.bytes, pattern(5000, 2));
    }
    if (small.result == TCfbRead::Complete) {
      EXPECT_EQ(small.bytes.size(), 100u);
    }
  }
}

TEST(CompoundFile, DifatThatLoopsOrLiesEnds) {
  CfbWriter writer;
  const std::string large = pattern(110 * 65536, 5);
  writer.AddStream(CfbWriter::kRoot, "Large", large);
  const std::string valid = writer.Build();
  ASSERT_EQ(writer.DifatSectors().size(), 1u);
  const std::size_t difatNext = writer.SectorOffset(writer.DifatSectors()[0]) + 508;
  // The writer puts the directory after the data, so it lies in a sector that only the FAT
  // sectors listed by the DIFAT cover: when those cannot be found, neither can the directory.
  struct Case {
    const char* what;
    std::function<void(std::string&)> damage;
    bool refused;
    TCfbRead result = TCfbRead::Complete;
  };
  const Case cases[] = {
      {"DIFAT sector points at itself, FAT count lies high",
       [&](std::string& f) {
         CfbWriter::Put32(f, difatNext, writer.DifatSectors()[0]);
         CfbWriter::Put32(f, 44, 0xFFFFFFFF);
       },
       false},
      {"DIFAT chain starts outside the file",
       [](std::string& f) { CfbWriter::Put32(f, 68, 0x0FFFFFFF); }, true},
      {"DIFAT lists FAT sectors outside the file",
       [&](std::string& f) {
         for (std::size_t k = 0; k < 127; ++k)
           CfbWriter::Put32(f, writer.SectorOffset(writer.DifatSectors()[0]) + 4 * k, 0x0FFFFFFF);
       },
       false, TCfbRead::Short},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string damaged = valid;
    c.damage(damaged);
    MemorySource source(asBytes(damaged));
    if (c.refused) {
      EXPECT_THROW(TCompoundFile file(source), kyv::Error);
      continue;
    }
    TCompoundFile file(source);
    VectorSink sink;
    EXPECT_EQ(file.ReadStream(*file.Find("Large"), sink), c.result);
    // The chain ends one sector into what the FAT sectors that could not be found cover: the
    // last entry the header's FAT holds still leads there.
    const std::size_t covered =
        c.result == TCfbRead::Complete ? large.size() : (109 * 128 + 1) * 512;
    EXPECT_TRUE(test::textOf(sink.bytes()) == large.substr(0, covered));
  }
}

// An independent reader agrees that the writer's files are compound files with these streams.
TEST(CompoundFile, WriterOutputIsReadByOlefile) {
  if (!test::haveProgram("python3") ||
      test::run("/usr/bin/python3 -c 'import olefile' 2>/dev/null") != 0)
    GTEST_SKIP() << "Debian's python3-olefile is not installed";
  test::ScratchDir dir;
  for (const unsigned shift : {9u, 12u}) {
    Sample s(shift);
    test::writeFile(dir / ("s" + std::to_string(shift) + ".cfb"), s.file);
  }
  test::writeFile(
      dir / "check.py",
      "import olefile, sys\n"
      "def pattern(n, seed):\n"
      "    return bytes((i * 131 + seed * 7 + i // 256) & 0xFF for i in range(n))\n"
      "for name in sys.argv[1:]:\n"
      "    assert olefile.isOleFile(name), name\n"
      "    f = olefile.OleFileIO(name, raise_defects=olefile.DEFECT_INCORRECT)\n"
      "    want = {'Small': pattern(100, 1), 'Big': pattern(5000, 2), 'Other': pattern(4500, 3),\n"
      "            'Dir/Inner': pattern(70, 4)}\n"
      "    got = {'/'.join(p): f.openstream(p).read() for p in f.listdir()}\n"
      "    assert got == want, (name, sorted(got))\n"
      "    assert f.get_type('Dir') == olefile.STGTY_STORAGE\n");
  const std::string cmd = "/usr/bin/python3 " + (dir / "check.py").string() + " " +
                          (dir / "s9.cfb").string() + " " + (dir / "s12.cfb").string();
  EXPECT_EQ(test::run(cmd), 0);
}

} // namespace
} // namespace kyv::document
