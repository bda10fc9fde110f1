// The CAB reader over the system's cabinet library (under Wine, Wine's cabinet.dll; elsewhere the
// stand-in): listing, set flags, extraction into a target, and cabinets made by other producers,
// damaged ones included.
#include "archive/cab_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "cab_builder.h"
#include "platform/file.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::textOf;
namespace fs = std::filesystem;

using test::CabBuilder;

std::string read(const fs::path& p) { return fs::exists(p) ? textOf(test::readFile(p)) : "<none>"; }

// Every member of a cabinet extracted into a file of its own: name -> content ("<none>" when
// nothing was written).
std::vector<std::pair<std::string, std::string>> extractAll(TAbCabArchive& a, const fs::path& dir) {
  std::vector<std::pair<std::string, std::string>> out;
  for (int i = 0; i < a.MemberCount(); ++i) {
    const auto target = dir / ("m" + std::to_string(i));
    a.ExtractMemberAt(i, target.string());
    out.emplace_back(a.MemberAt(i)->FileName, read(target));
    fs::remove(target);
  }
  return out;
}

TEST(CabReader, ListsAndExtractsStoredFiles) {
  test::ScratchDir dir;
  CabBuilder b;
  b.files = {{"hello.txt", "hello, cabinet"}, {"sub\\big.bin", std::string(70000, 'z') + "tail"}};
  test::writeFile(dir / "t.cab", b.build());
  TAbCabArchive a((dir / "t.cab").string());
  EXPECT_EQ(a.Status(), TAbArchiveStatus::asIdle);
  a.LoadDirectory();
  EXPECT_FALSE(a.HasPrevious());
  EXPECT_FALSE(a.HasNext());
  EXPECT_EQ(a.SetId(), 0x1234);
  ASSERT_EQ(a.MemberCount(), 2);
  EXPECT_EQ(a.MemberAt(0)->FileName, "hello.txt");
  EXPECT_EQ(a.MemberAt(0)->UncompressedSize, 14u);
  EXPECT_EQ(a.MemberAt(0)->CompressedSize, 0u);
  EXPECT_EQ(a.MemberAt(0)->LastModFileDate, 0x5A21);
  EXPECT_EQ(a.MemberAt(1)->FileName, "sub\\big.bin");
  EXPECT_EQ(a.MemberAt(1)->UncompressedSize, 70004u);
  const auto got = extractAll(a, dir.path());
  EXPECT_EQ(got[0].second, "hello, cabinet");
  EXPECT_EQ(got[1].second, std::string(70000, 'z') + "tail");
  // The same member again: the context is reused.
  a.ExtractMemberAt(0, (dir / "again").string());
  EXPECT_EQ(read(dir / "again"), "hello, cabinet");
  VectorSink sink;
  a.ExtractMemberToStream("HELLO.TXT", sink);
  EXPECT_EQ(textOf(sink.bytes()), "hello, cabinet");
}

// Members are told apart by their place: two of one name are two members, each written into a
// target of its own (made afresh, so nothing of an earlier file stays behind).
TEST(CabReader, SameNameMembersStayDistinct) {
  test::ScratchDir dir;
  CabBuilder b;
  b.files = {{"same", "earlier and longer"}, {"same", "later"}};
  test::writeFile(dir / "t.cab", b.build());
  TAbCabArchive a((dir / "t.cab").string());
  a.LoadDirectory();
  ASSERT_EQ(a.MemberCount(), 2);
  const auto got = extractAll(a, dir.path());
  EXPECT_EQ(got[0].second, "earlier and longer");
  EXPECT_EQ(got[1].second, "later");
  test::writeFile(dir / "out", "something longer that was there before");
  a.ExtractMemberAt(1, (dir / "out").string());
  EXPECT_EQ(read(dir / "out"), "later");
}

// Two folders whose first files have the same size and offset 0 in their folder: each member
// gets the bytes of its own folder, in one walk, handed over in the cabinet's order as each
// file is closed. Run natively (stand-in) and under Wine (cabinet.dll).
TEST(CabReader, OneWalkDeliversEveryMemberOfEveryFolder) {
  test::ScratchDir dir;
  for (const bool mszip : {false, true}) {
    SCOPED_TRACE(mszip ? "mszip" : "stored");
    CabBuilder b;
    b.mszip = mszip;
    const std::string big(40000, 'b');
    b.files = {{"first.txt", "folder zero!", 0},
               {"big.bin", big + "end", 0},
               {"second.txt", "folder one!!", 1},
               {"same.txt", "in folder one", 1},
               {"same.txt", "in folder two", 2}};
    const auto cab = dir / (mszip ? "m.cab" : "s.cab");
    test::writeFile(cab, b.build());
    TAbCabArchive a(cab.string());
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 5);
    const auto target = dir / "member";
    std::vector<std::pair<int, std::string>> seen;
    a.ExtractMembers([](int i) { return i != 3; }, target.string(),
                     [&](int i) {
                       seen.emplace_back(i, read(target));
                       return true;
                     });
    const std::vector<std::pair<int, std::string>> expected = {
        {0, "folder zero!"}, {1, big + "end"}, {2, "folder one!!"}, {4, "in folder two"}};
    EXPECT_EQ(seen, expected);
    // One member alone: the second folder's first file, not the first folder's of its size.
    a.ExtractMemberAt(2, target.string());
    EXPECT_EQ(read(target), "folder one!!");
    // Ending the walk early stops it there.
    seen.clear();
    a.ExtractMembers([](int) { return true; }, target.string(),
                     [&](int i) {
                       seen.emplace_back(i, read(target));
                       return i < 2;
                     });
    EXPECT_EQ(seen.size(), 3u);
    if (mszip && test::haveProgram("cabextract")) {
      // The cabinet is sound by an independent reader too.
      ASSERT_EQ(
          test::run("cd '" + dir.path().string() + "' && mkdir -p cx && cabextract -q -d cx m.cab"),
          0);
      EXPECT_EQ(read(dir / "cx" / "second.txt"), "folder one!!");
      EXPECT_EQ(read(dir / "cx" / "big.bin"), big + "end");
    }
  }
}

// A member whose data fails costs only itself: it is told to the hook and handed over as far
// as it was written, and the walk goes on with the members after it.
TEST(CabReader, ADamagedMemberCostsOnlyItself) {
  test::ScratchDir dir;
  CabBuilder b;
  b.mszip = true;
  b.files = {
      {"one", "first folder", 0}, {"two", "second folder, damaged", 1}, {"three", "third", 2}};
  auto bytes = b.build();
  // Break the second folder's Deflate data: a block of the reserved type 3.
  const std::string all = textOf(bytes);
  auto second = all.find("CK", all.find("CK") + 2);
  ASSERT_NE(second, std::string::npos);
  for (std::size_t i = 2; i < 6; ++i)
    bytes[second + i] = std::byte{0xFF};
  test::writeFile(dir / "t.cab", bytes);
  TAbCabArchive a((dir / "t.cab").string());
  int failures = 0;
  a.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
    ++failures;
  };
  a.LoadDirectory();
  std::vector<std::pair<int, std::string>> seen;
  const auto target = dir / "member";
  a.ExtractMembers([](int) { return true; }, target.string(),
                   [&](int i) {
                     seen.emplace_back(i, read(target));
                     return true;
                   });
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0], (std::pair<int, std::string>{0, "first folder"}));
  EXPECT_EQ(seen[1].first, 1);
  EXPECT_EQ(seen[2], (std::pair<int, std::string>{2, "third"}));
  // Libraries that salvage what they can may not call it a failure, but the damage shows.
  EXPECT_TRUE(failures == 1 || seen[1].second != "second folder, damaged") << failures;
  EXPECT_LE(failures, 1);
}

// The write gate sees every write into a member's file before it is made: once it refuses,
// nothing more is written, the member is handed over as far as it got, and the failure hook
// hears of it. Run natively (stand-in) and under Wine (cabinet.dll's write callback).
TEST(CabReader, ARefusedWriteStopsTheCopyAtOnce) {
  test::ScratchDir dir;
  for (const bool mszip : {false, true}) {
    SCOPED_TRACE(mszip ? "mszip" : "stored");
    CabBuilder b;
    b.mszip = mszip;
    b.files = {{"small", "fits"}, {"large", std::string(200000, 'x')}, {"after", "never reached"}};
    const auto cab = dir / "t.cab";
    test::writeFile(cab, b.build());
    TAbCabArchive a(cab.string());
    int failures = 0;
    a.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
      ++failures;
    };
    a.LoadDirectory();
    std::uint64_t admitted = 0;
    std::size_t largestWrite = 0;
    constexpr std::uint64_t kAllowed = 70000;
    a.WriteGate = [&](std::size_t bytes) {
      largestWrite = std::max(largestWrite, bytes);
      if (bytes > kAllowed - admitted)
        return false;
      admitted += bytes;
      return true;
    };
    std::vector<std::pair<int, std::string>> seen;
    const auto target = dir / "member";
    a.ExtractMembers([](int) { return true; }, target.string(),
                     [&](int i) {
                       seen.emplace_back(i, read(target));
                       return i == 0; // the budget is spent once the second member is cut
                     });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (std::pair<int, std::string>{0, "fits"}));
    EXPECT_EQ(seen[1].first, 1);
    EXPECT_EQ(seen[1].second.size() + 4, admitted) << "the file holds exactly what was admitted";
    EXPECT_GT(seen[1].second.size(), 0u);
    EXPECT_LE(largestWrite, 32768u) << "one data block at a time";
    EXPECT_EQ(failures, 1);
  }
}

TEST(CabReader, VolumesOfASetAreFlaggedAndContinuedFilesArePartial) {
  test::ScratchDir dir;
  CabBuilder b;
  b.previous = "one.cab";
  b.next = "three.cab";
  b.files = {{"continued.txt", "rest of it", 0xFFFD}, {"whole.txt", "whole"}};
  test::writeFile(dir / "two.cab", b.build());
  TAbCabArchive a((dir / "two.cab").string());
  a.LoadDirectory();
  EXPECT_TRUE(a.HasPrevious());
  EXPECT_TRUE(a.HasNext());
  ASSERT_EQ(a.MemberCount(), 2);
  auto* first = dynamic_cast<TAbCabItem*>(a.MemberAt(0));
  auto* second = dynamic_cast<TAbCabItem*>(a.MemberAt(1));
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->FileName, "continued.txt");
  EXPECT_TRUE(first->PartialFile);
  EXPECT_FALSE(second->PartialFile);
}

// A file whose folder index names no folder of the cabinet has nothing to decode: it fails on
// its own (the cabinet library is not asked to decode it) and the other files still extract.
TEST(CabReader, FileOutsideTheFoldersFailsAlone) {
  test::ScratchDir dir;
  CabBuilder b;
  b.files = {{"good", "good data"}, {"lost", "", 5}};
  test::writeFile(dir / "t.cab", b.build());
  TAbCabArchive a((dir / "t.cab").string());
  std::vector<int> codes;
  a.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                               int code) { codes.push_back(code); };
  a.LoadDirectory();
  ASSERT_EQ(a.MemberCount(), 2);
  const auto got = extractAll(a, dir.path());
  EXPECT_EQ(got[0].second, "good data");
  EXPECT_EQ(got[1].second, "<none>");
  EXPECT_EQ(codes, std::vector<int>{AbCode::FDICopyError});
}

TEST(CabReader, LoadFailures) {
  test::ScratchDir dir;
  test::writeFile(dir / "text.cab", "this is no cabinet, only some text that is long enough");
  struct Case {
    const char* what;
    fs::path path;
    int code;
    const char* text;
  } cases[] = {
      {"not a cabinet", dir / "text.cab", AbCode::InvalidCabFile,
       "Invalid file - not a cabinet file"},
      {"missing", dir / "missing.cab", AbCode::ReadError, "Error reading archive"},
  };
  for (const auto& c : cases) {
    TAbCabArchive a(c.path.string());
    try {
      a.LoadDirectory();
      ADD_FAILURE() << c.what << ": loaded";
    } catch (const EAbException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code) << c.what;
      EXPECT_STREQ(e.what(), c.text) << c.what;
    }
    EXPECT_EQ(a.Status(), TAbArchiveStatus::asInvalid) << c.what;
    EXPECT_EQ(a.MemberCount(), 0) << c.what;
  }
}

// Cabinets from other producers, with what each member must extract to.
TEST(CabInterop, ThirdPartyCabinets) {
  struct Case {
    const char* file;
    std::vector<std::pair<std::string, std::size_t>> members; // name, extracted size
  } cases[] = {
      {"cab/libmspack-mszip_lzx_qtm.cab", {{"mszip.txt", 57}, {"lzx.txt", 187}, {"qtm.txt", 59}}},
      {"cab/libmspack-normal_2files_2folders.cab",
       {{"mszip1.txt", 31}, {"mszip2.txt", 36}, {"lzx1.txt", 23}, {"lzx2.txt", 28}}},
      {"cab/libmspack-normal_2files_1folder.cab", {{"hello.c", 77}, {"welcome.c", 74}}},
      {"cab/corkami-cabinet.cab", {{"README.txt", 19}}},
      {"cab/libarchive-test_read_format_cab_lzx_e8.cab", {}},
  };
  test::ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto path = test::fixture(c.file);
    TAbCabArchive a(path.string());
    a.LoadDirectory();
    const auto got = extractAll(a, dir.path());
    if (c.members.empty()) {
      // Only that it loads and every member extracts to something.
      for (const auto& [name, content] : got)
        EXPECT_NE(content, "<none>") << name;
      continue;
    }
    ASSERT_EQ(got.size(), c.members.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].first, c.members[i].first);
      EXPECT_EQ(got[i].second.size(), c.members[i].second) << got[i].first;
    }
  }
}

// The volumes of the fixture sets carry the set flags as their position says.
TEST(CabInterop, SetVolumes) {
  struct Case {
    const char* file;
    bool previous, next;
  } cases[] = {
      {"cab/libmspack-multi_basic/cabd_multi_basic_pt1.cab", false, true},
      {"cab/libmspack-multi_basic/cabd_multi_basic_pt3.cab", true, true},
      {"cab/libmspack-multi_basic/cabd_multi_basic_pt5.cab", true, false},
      {"cab/cabextract-split/Split-1.CAB", false, true},
      {"cab/cabextract-split/Split-5.CAB", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto path = test::fixture(c.file);
    TAbCabArchive a(path.string());
    a.LoadDirectory();
    EXPECT_EQ(a.HasPrevious(), c.previous);
    EXPECT_EQ(a.HasNext(), c.next);
    EXPECT_GT(a.MemberCount(), 0);
  }
}

// Every cabinet of the fixture folder and of the system's cabinet test packages, damaged ones
// included: each either fails to load with a library error or loads and extracts member by
// member, failures staying inside the reader.
TEST(CabInterop, EveryCabinetEndsInAnOrderlyWay) {
  std::vector<fs::path> files;
  for (const fs::path& root :
       {test::fixture("cab"), fs::path("/usr/libexec/installed-tests/libgcab-1.0"),
        fs::path("/usr/share/clamav-testfiles")}) {
    if (root.empty() || !fs::is_directory(root))
      continue;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      const std::string ext = e.path().extension().string();
      if (e.is_regular_file() && (ext == ".cab" || ext == ".CAB"))
        files.push_back(e.path());
    }
  }
  if (files.empty())
    GTEST_SKIP() << "no cabinets available";
  test::ScratchDir dir;
  int loaded = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    TAbCabArchive a(f.string());
    try {
      a.LoadDirectory();
    } catch (const EAbException& e) {
      EXPECT_NE(e.ErrorCode(), AbCode::Unknown) << e.what();
      continue;
    }
    ++loaded;
    // Only cabinets that are no volume of a set are extracted, as the unpacking kernel does.
    if (a.HasPrevious() || a.HasNext())
      continue;
    for (int i = 0; i < a.MemberCount(); ++i) {
      const auto target = dir / "out";
      // Large members (the nested multi-gigabyte cabinet) are listed, not written out here.
      if (a.MemberAt(i)->UncompressedSize > (64u << 20))
        continue;
      EXPECT_NO_THROW(a.ExtractMemberAt(i, target.string()));
      EXPECT_LE(fs::exists(target) ? fs::file_size(target) : 0, a.MemberAt(i)->UncompressedSize);
      fs::remove(target);
    }
  }
  EXPECT_GT(loaded, 0);
}

// Cabinets made by gcab, stored and MSZIP-compressed.
TEST(CabInterop, GcabCabinets) {
  if (!test::haveProgram("gcab"))
    GTEST_SKIP() << "gcab not installed";
  test::ScratchDir dir;
  std::string big;
  for (int i = 0; i < 30000; ++i)
    big += std::to_string(i * 31 % 977) + ";";
  test::writeFile(dir / "big.txt", big);
  test::writeFile(dir / "small.txt", "small payload");
  for (const std::string& opt : {std::string(), std::string("-z")}) {
    SCOPED_TRACE(opt.empty() ? "stored" : "mszip");
    const auto cab = dir / ("g" + opt + ".cab");
    ASSERT_EQ(test::run("cd '" + dir.path().string() + "' && gcab -c -n " + opt + " '" +
                        cab.string() + "' big.txt small.txt"),
              0);
    TAbCabArchive a(cab.string());
    a.LoadDirectory();
    const auto got = extractAll(a, dir.path());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, "big.txt");
    EXPECT_EQ(got[0].second, big);
    EXPECT_EQ(got[1].second, "small payload");
  }
}

} // namespace
} // namespace kyv::archive
