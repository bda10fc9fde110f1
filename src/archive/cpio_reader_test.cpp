// cpio reader: archives written by GNU cpio and bsdtar in every header form, read member by
// member against the files they were made from; archives built in the test for the big-endian
// binary form and for every length field that lies.
#include "archive/cpio_reader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "cpio_builder.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using Bytes = std::vector<std::byte>;
using test::cpio::binary;
using test::cpio::Entry;
using test::cpio::newc;
using test::cpio::odc;

struct Member {
  std::string name;
  std::string data;
};

struct Listing {
  std::vector<Member> members;
  std::vector<int> failed; // indexes whose extraction failed
  std::string incomplete;
};

Listing readAll(const Bytes& archive) {
  TAbCpioArchive cpio(std::make_unique<MemorySource>(archive), "test.cpio");
  Listing r;
  int current = -1;
  cpio.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                  int) { r.failed.push_back(current); };
  cpio.LoadDirectory();
  for (int i = 0; i < cpio.MemberCount(); ++i) {
    VectorSink sink;
    current = i;
    cpio.ExtractMemberToStreamAt(i, sink);
    r.members.push_back({cpio.MemberAt(i)->FileName, test::textOf(sink.bytes())});
  }
  r.incomplete = cpio.Incomplete();
  return r;
}

// A tree with what the forms pad around (names and sizes of every remainder by 4), an empty
// file, a large one, a folder, a symbolic link, a fifo and two hard links to one file.
struct Tree {
  test::ScratchDir dir;
  std::map<std::string, std::string> files; // regular files by name
  Tree() {
    std::filesystem::create_directories(dir / "in/sub");
    const auto put = [&](const std::string& name, const std::string& data) {
      test::writeFile(dir / ("in/" + name), data);
      files[name] = data;
    };
    put("a", "1");
    put("bb", "22");
    put("ccc", "333");
    put("dddd", "4444");
    put("empty", "");
    std::string big;
    for (int i = 0; i < 100000; ++i)
      big += static_cast<char>('A' + (i * 7) % 26);
    put("sub/big.bin", big);
    put("linked", "shared data");
    std::filesystem::create_hard_link(dir / "in/linked", dir / "in/linked2");
    files["linked2"] = "shared data";
    std::filesystem::create_symlink("a", dir / "in/link");
    test::run("mkfifo '" + (dir / "in/fifo").string() + "'");
  }
};

// Every regular file comes out with its bytes; nothing else is a member; a hard link's data
// comes out at least once and under one of its names.
void expectTree(const Tree& tree, const Listing& got, const std::string& what) {
  EXPECT_TRUE(got.failed.empty()) << what;
  EXPECT_TRUE(got.incomplete.empty()) << what << ": " << got.incomplete;
  std::map<std::string, std::string> seen;
  for (const Member& m : got.members) {
    EXPECT_TRUE(tree.files.count(m.name)) << what << ": " << m.name;
    seen[m.name] = m.data;
  }
  for (const auto& [name, data] : tree.files) {
    if (name.starts_with("linked"))
      continue;
    ASSERT_TRUE(seen.count(name)) << what << ": " << name;
    EXPECT_EQ(seen[name], data) << what << ": " << name;
  }
  const bool linkData = seen["linked"] == "shared data" || seen["linked2"] == "shared data";
  EXPECT_TRUE(linkData) << what;
}

TEST(CpioReader, GnuCpioEveryForm) {
  if (!test::haveProgram("cpio"))
    GTEST_SKIP() << "GNU cpio not installed";
  Tree tree;
  for (const std::string form : {"newc", "crc", "odc", "bin"}) {
    const auto out = tree.dir / ("x." + form);
    ASSERT_EQ(test::run("cd '" + (tree.dir / "in").string() +
                        "' && find . -mindepth 1 | sed 's|^./||' | sort | cpio --quiet -o -H " +
                        form + " > '" + out.string() + "'"),
              0);
    expectTree(tree, readAll(test::readFile(out)), form);
  }
}

TEST(CpioReader, BsdtarEveryForm) {
  if (!test::haveProgram("bsdtar"))
    GTEST_SKIP() << "bsdtar not installed";
  Tree tree;
  for (const std::string form : {"newc", "cpio", "bin", "pwb"}) {
    const auto out = tree.dir / ("x." + form);
    ASSERT_EQ(test::run("cd '" + (tree.dir / "in").string() + "' && bsdtar --format=" + form +
                        " -cf '" + out.string() + "' a bb ccc dddd empty sub linked linked2" +
                        // The binary forms store no fifo; the PWB one no symbolic link either.
                        (form == "bin"   ? " link"
                         : form == "pwb" ? ""
                                         : " link fifo")),
              0);
    expectTree(tree, readAll(test::readFile(out)), form);
  }
}

TEST(CpioReader, BinaryFormBothByteOrders) {
  std::string big(70000, 'z'); // a size over 16 bits: both words count
  big[0] = 'S';
  for (const bool bigEndian : {false, true}) {
    const Listing got = readAll(test::bytesOf(binary(
        {{"odd", "x"}, {"dir", "", 040755}, {"even", "xy"}, {"big", big}, {"s", "target", 0120777}},
        bigEndian)));
    ASSERT_EQ(got.members.size(), 3u) << bigEndian;
    EXPECT_EQ(got.members[0].name, "odd");
    EXPECT_EQ(got.members[0].data, "x");
    EXPECT_EQ(got.members[1].data, "xy");
    EXPECT_EQ(got.members[2].data, big);
    EXPECT_TRUE(got.failed.empty() && got.incomplete.empty());
  }
}

// Each form's size field claiming more than the archive holds: the member comes out as far as
// the archive goes and its extraction fails; the walk ends there, said so.
TEST(CpioReader, SizePastTheEnd) {
  for (const auto& archive :
       {newc({{"m", "payload", 0100644, 1000}}, false, false),
        odc({{"m", "payload", 0100644, 1000}}), binary({{"m", "payload", 0100644, 1000}}, true)}) {
    const Listing got = readAll(test::bytesOf(archive));
    ASSERT_EQ(got.members.size(), 1u);
    EXPECT_EQ(got.members[0].data.substr(0, 7), "payload");
    EXPECT_EQ(got.failed, std::vector{0});
    EXPECT_FALSE(got.incomplete.empty());
  }
}

// Damage after the first member keeps it and says why the walk stopped; damage in the first
// header means it is not an archive.
TEST(CpioReader, DamagedHeaders) {
  struct Case {
    const char* what;
    std::string archive;
  };
  const Entry good{"good", "kept"};
  std::string badDigit = newc({good, {"second", "x"}});
  badDigit[newc({good}, false, false).size() + 20] = 'g';
  const std::vector<Case> cases = {
      {"name size 0", newc({good, {"n", "x", 0100644, std::nullopt, 0}})},
      {"name size past the end", newc({good, {"n", "x", 0100644, std::nullopt, 5000}})},
      {"name size past the cap", newc({good, {"n", "x", 0100644, std::nullopt, 0x7FFFFFFF}})},
      {"not a hex digit", badDigit},
      {"no trailer", newc({good}, false, false)},
      {"garbage after a member", newc({good}, false, false) + "not a header at all, not at all"},
      {"binary name size 0", binary({good, {"n", "x", 0100644, std::nullopt, 0}}, false)},
      {"odc name past the end", odc({good, {"n", "x", 0100644, std::nullopt, 0777777}})},
  };
  for (const Case& c : cases) {
    const Listing got = readAll(test::bytesOf(c.archive));
    ASSERT_EQ(got.members.size(), 1u) << c.what;
    EXPECT_EQ(got.members[0].data, "kept") << c.what;
    EXPECT_FALSE(got.incomplete.empty()) << c.what;
  }
  for (const std::string& first :
       {std::string("070701zz"), newc({{"n", "x", 0100644, std::nullopt, 0}}),
        std::string("070707") + std::string(70, '9')}) {
    const Bytes bytes = test::bytesOf(first);
    TAbCpioArchive cpio(std::make_unique<MemorySource>(bytes), "bad.cpio");
    EXPECT_THROW(cpio.LoadDirectory(), EAbException) << first.substr(0, 8);
  }
}

// The crc form's sum is checked after the member is written whole; the other forms store none.
TEST(CpioReader, CrcFormChecksTheSum) {
  const Listing got = readAll(test::bytesOf(
      newc({{"right", "abc"}, {"wrong", "abc", 0100644, std::nullopt, std::nullopt, 1}}, true)));
  ASSERT_EQ(got.members.size(), 2u);
  EXPECT_EQ(got.members[1].data, "abc");
  EXPECT_EQ(got.failed, std::vector{1});
  EXPECT_TRUE(
      readAll(test::bytesOf(newc({{"unchecked", "abc", 0100644, std::nullopt, std::nullopt, 1}})))
          .failed.empty());
}

TEST(CpioReader, ProbeWantsAWellFormedHeader) {
  const std::string good = newc({{"name", "data"}});
  EXPECT_EQ(probeCpio(test::bytesOf(good)), CpioKind::Newc);
  EXPECT_EQ(probeCpio(test::bytesOf(odc({{"n", "d"}}))), CpioKind::Odc);
  EXPECT_EQ(probeCpio(test::bytesOf(binary({{"n", "d"}}, true))), CpioKind::BinarySwapped);
  EXPECT_EQ(probeCpio(test::bytesOf(binary({{"n", "d"}}, false))), CpioKind::Binary);
  std::string noNul = good;
  noNul[110 + 4] = 'X';
  for (const std::string& bad : {good.substr(0, 109), std::string("070701") + std::string(104, 'Z'),
                                 noNul, std::string("\xC7\x71") + std::string(30, '\0')})
    EXPECT_FALSE(probeCpio(test::bytesOf(bad)).has_value());
}

} // namespace
} // namespace kyv::archive
