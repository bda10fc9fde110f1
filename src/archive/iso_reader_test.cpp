// The ISO 9660 reader: images made by real producers (xorriso, genisoimage) read back and
// compared with the files that went in and with bsdtar's listing; built images for what no
// producer writes on purpose (loops, lying lengths, files past the end, several extents).
#include "archive/iso_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "iso_builder.h"
#include "platform/codepages.h"
#include "platform/file.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::IsoBuilder;

struct Listing {
  std::map<std::string, std::vector<std::byte>> members; // name -> bytes
  std::vector<bool> failed;                              // per member index
  std::string incomplete;
};

Listing readImage(std::unique_ptr<ByteSource> source) {
  TAbIsoArchive iso(std::move(source), "test.iso");
  iso.LoadDirectory();
  Listing out;
  out.incomplete = iso.Incomplete();
  bool failed = false;
  iso.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
    failed = true;
  };
  for (int i = 0; i < iso.MemberCount(); ++i) {
    VectorSink sink;
    failed = false;
    iso.ExtractMemberToStreamAt(i, sink);
    EXPECT_TRUE(out.members.emplace(iso.MemberAt(i)->FileName, sink.bytes()).second)
        << "listed twice: " << iso.MemberAt(i)->FileName;
    out.failed.push_back(failed);
    if (!failed) {
      EXPECT_EQ(sink.bytes().size(), iso.MemberAt(i)->UncompressedSize)
          << iso.MemberAt(i)->FileName;
    }
  }
  return out;
}

Listing readImage(std::vector<std::byte>& bytes) {
  return readImage(std::make_unique<MemorySource>(bytes));
}

std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

class IsoInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::haveProgram("xorriso") || !test::haveProgram("genisoimage") ||
        !test::haveProgram("bsdtar"))
      GTEST_SKIP() << "xorriso, genisoimage or bsdtar not installed";
    const auto root = dir_ / "src";
    // Deeper than the format's eight levels: Rock Ridge producers relocate such folders.
    put("a/b/c/d/e/f/g/h/i/j/deep.txt", "at the bottom of the tree\n");
    put("\xD0\x94\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB5 name with spaces.txt",
        "unicode\n");
    put("empty.txt", "");
    std::string big;
    for (std::uint32_t x = 7, i = 0; i < 300000; ++i) {
      x = x * 1103515245u + 12345u;
      big.push_back(static_cast<char>(x >> 16));
    }
    put("big.bin", big);
    // Enough entries that the folder spans several sectors.
    for (int i = 0; i < 300; ++i)
      put("many/file" + std::to_string(i) + ".txt", "file number " + std::to_string(i) + "\n");
  }
  void put(const std::string& name, std::string_view data) {
    const auto path = dir_ / "src" / name;
    std::filesystem::create_directories(path.parent_path());
    test::writeFile(path, data);
    files_[platform::utf8ToCp1251(name)] = std::string(data);
  }
  std::filesystem::path make(const std::string& name, const std::string& command) {
    const auto image = dir_ / name;
    EXPECT_EQ(test::run("cd " + q(dir_.path()) + " && " + command + " -o " + q(image) +
                        " src >/dev/null 2>&1"),
              0)
        << command;
    return image;
  }
  // bsdtar's names of the files and folders, in the system's code page.
  std::set<std::string> peerListing(const std::filesystem::path& image) {
    const auto out = dir_ / "listing.txt";
    EXPECT_EQ(test::run("bsdtar -tf " + q(image) + " > " + q(out)), 0);
    std::set<std::string> names;
    std::string text = test::textOf(test::readFile(out));
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t end = text.find('\n', at);
      const std::string line = text.substr(at, end - at);
      at = end == std::string::npos ? text.size() : end + 1;
      if (!line.empty() && line != "." && line.rfind("rr_moved", 0) != 0)
        names.insert(platform::utf8ToCp1251(line.rfind("./", 0) == 0 ? line.substr(2) : line));
    }
    return names;
  }

  test::ScratchDir dir_;
  std::map<std::string, std::string> files_;
};

TEST_F(IsoInterop, RockRidgeAndJolietNamesAndEveryByte) {
  for (const std::string command : {"xorriso -as mkisofs -J -R", "genisoimage -quiet -J -R",
                                    "genisoimage -quiet -J -joliet-long -D"}) {
    SCOPED_TRACE(command);
    const auto image = make("made.iso", command);
    const Listing listing = readImage(platform::FileSource::open(image.string()));
    EXPECT_EQ(listing.incomplete, "");
    std::set<std::string> names;
    for (const auto& [name, bytes] : listing.members) {
      names.insert(name);
      ASSERT_TRUE(files_.count(name)) << name;
      EXPECT_EQ(test::textOf(bytes), files_.at(name)) << name;
    }
    EXPECT_EQ(names.size(), files_.size());
    // The peer lists folders too.
    for (const auto& [name, bytes] : listing.members)
      for (std::size_t slash = name.find('/'); slash != std::string::npos;
           slash = name.find('/', slash + 1))
        names.insert(name.substr(0, slash));
    EXPECT_EQ(names, peerListing(image));
  }
}

TEST_F(IsoInterop, PlainNamesStillGiveEveryFile) {
  // Without extensions the names are the short upper-case ones; the bytes are what counts.
  const auto image = make("plain.iso", "genisoimage -quiet -D");
  const Listing listing = readImage(platform::FileSource::open(image.string()));
  std::multiset<std::string> got, want;
  for (const auto& [name, bytes] : listing.members)
    got.insert(test::textOf(bytes));
  for (const auto& [name, data] : files_)
    want.insert(data);
  EXPECT_EQ(got, want);
  EXPECT_TRUE(listing.members.count("MANY/FILE299.TXT"));
}

TEST_F(IsoInterop, HiddenBootImageIsAMember) {
  std::string boot(2048, '\0');
  boot.replace(0, 18, "a boot loader here");
  test::writeFile(dir_ / "src" / "boot.img", boot);
  files_["boot.img"] = boot;
  // Listed in the boot catalog only: no directory of the image names it.
  const auto hidden = make("boot.iso", "genisoimage -quiet -J -R -b boot.img -no-emul-boot "
                                       "-boot-load-size 4 -hide boot.img -hide-joliet boot.img");
  Listing listing = readImage(platform::FileSource::open(hidden.string()));
  EXPECT_FALSE(listing.members.count("boot.img"));
  ASSERT_TRUE(listing.members.count("boot-image-1.img"));
  EXPECT_EQ(test::textOf(listing.members.at("boot-image-1.img")), boot);
  // Named in the tree too: listed once, under its name.
  const auto shown = make("boot2.iso", "xorriso -as mkisofs -J -R -b boot.img -no-emul-boot");
  listing = readImage(platform::FileSource::open(shown.string()));
  EXPECT_TRUE(listing.members.count("boot.img"));
  EXPECT_FALSE(listing.members.count("boot-image-1.img"));
}

// A minimal image: primary tree with root at block 20, ending with a terminator.
struct SmallImage {
  IsoBuilder b;
  std::uint32_t root = 0;
  SmallImage() { root = b.allocate(); }
  std::vector<std::byte> self(std::uint32_t block) {
    return IsoBuilder::record(block, IsoBuilder::kSector, IsoBuilder::kDirectory,
                              std::string_view("\0", 1));
  }
  std::vector<std::byte> parent(std::uint32_t block) {
    return IsoBuilder::record(block, IsoBuilder::kSector, IsoBuilder::kDirectory,
                              std::string_view("\1", 1));
  }
  std::vector<std::byte>& finish(std::uint32_t rootLength = IsoBuilder::kSector) {
    b.descriptor(0, 1, root, rootLength);
    b.terminator(1);
    return b.image();
  }
};

TEST(IsoReader, DirectoryLoopsEndAndFilesAreListedOnce) {
  SmallImage s;
  const std::uint32_t sub = s.b.allocate();
  const std::uint32_t data = s.b.file("the only file");
  // The root holds a folder that holds the root again, and itself.
  s.b.directory(s.root,
                {s.self(s.root), s.parent(s.root),
                 IsoBuilder::record(sub, IsoBuilder::kSector, IsoBuilder::kDirectory, "SUB"),
                 IsoBuilder::record(data, 13, 0, "F.TXT;1")});
  s.b.directory(sub, {s.self(sub), s.parent(s.root),
                      IsoBuilder::record(s.root, IsoBuilder::kSector, IsoBuilder::kDirectory, "UP"),
                      IsoBuilder::record(sub, IsoBuilder::kSector, IsoBuilder::kDirectory, "ME")});
  const Listing listing = readImage(s.finish());
  ASSERT_EQ(listing.members.size(), 1u);
  EXPECT_EQ(test::textOf(listing.members.at("F.TXT")), "the only file");
}

TEST(IsoReader, SeveralExtentsJoinIntoOneFile) {
  SmallImage s;
  const std::uint32_t a = s.b.file(std::string(2048, 'a'));
  const std::uint32_t gap = s.b.file("not part of it");
  const std::uint32_t c = s.b.file("tail");
  (void)gap;
  s.b.directory(s.root, {s.self(s.root), s.parent(s.root),
                         IsoBuilder::record(a, 2048, IsoBuilder::kMultiExtent, "BIG.BIN;1"),
                         IsoBuilder::record(c, 4, 0, "BIG.BIN;1"),
                         IsoBuilder::record(c, 4, 0, "OTHER.BIN;1")});
  const Listing listing = readImage(s.finish());
  // The single-extent file after it has the same bytes as the tail: it is a different file.
  ASSERT_EQ(listing.members.size(), 2u);
  EXPECT_EQ(test::textOf(listing.members.at("BIG.BIN")), std::string(2048, 'a') + "tail");
  EXPECT_EQ(test::textOf(listing.members.at("OTHER.BIN")), "tail");
}

TEST(IsoReader, LiesInLengthsEndCleanly) {
  struct Case {
    const char* what;
    std::uint32_t extent;
    std::uint32_t length;
    std::string expected; // what is delivered
    bool failed;
  };
  SmallImage s;
  const std::uint32_t data = s.b.file("short data");
  const auto end = static_cast<std::uint32_t>(s.b.image().size() / IsoBuilder::kSector) + 1;
  const std::vector<Case> cases{
      {"PAST.BIN", data, 0xFFFFFFF0u, "", true},       // runs on for 4 GiB past the end
      {"AFTER.BIN", end + 1000, 100, "", true},        // starts past the end
      {"FAR.BIN", 0xFFFFFFFFu, 0xFFFFFFFFu, "", true}, // the largest numbers there are
  };
  std::vector<std::vector<std::byte>> records{s.self(s.root), s.parent(s.root)};
  for (const Case& c : cases)
    records.push_back(IsoBuilder::record(c.extent, c.length, 0, std::string(c.what) + ";1"));
  // A record whose name is longer than the record ends the sector's records.
  auto liar = IsoBuilder::record(data, 10, 0, "LIAR.BIN;1");
  liar[32] = std::byte{250};
  records.push_back(liar);
  s.b.directory(s.root, records);
  // The root claims 1 GiB of sectors the image does not have.
  const Listing listing = readImage(s.finish(0x40000000u));
  EXPECT_NE(listing.incomplete, "");
  ASSERT_EQ(listing.members.size(), 3u);
  // The first delivers what the image holds from its start.
  EXPECT_EQ(test::textOf(listing.members.at("PAST.BIN")).substr(0, 10), "short data");
  for (const bool failed : listing.failed)
    EXPECT_TRUE(failed);
}

TEST(IsoReader, JolietTreeWithOtherFilesIsReadToo) {
  IsoBuilder b;
  const std::uint32_t root = b.allocate();
  const std::uint32_t jroot = b.allocate();
  const std::uint32_t shared = b.file("in both trees");
  const std::uint32_t only = b.file("only in the Joliet tree");
  const std::string_view self("\0", 1), parent("\1", 1);
  b.directory(root,
              {IsoBuilder::record(root, 2048, 2, self), IsoBuilder::record(root, 2048, 2, parent),
               IsoBuilder::record(shared, 13, 0, "SHARED.TXT;1")});
  b.directory(jroot,
              {IsoBuilder::record(jroot, 2048, 2, self), IsoBuilder::record(jroot, 2048, 2, parent),
               IsoBuilder::record(shared, 13, 0, IsoBuilder::ucs2("Shared name.txt;1")),
               IsoBuilder::record(only, 23, 0, IsoBuilder::ucs2("Hidden one.txt;1"))});
  b.descriptor(0, 1, root, 2048);
  b.descriptor(1, 2, jroot, 2048, "%/E");
  b.terminator(2);
  const Listing listing = readImage(b.image());
  // Joliet names come first; the shared file is listed once.
  ASSERT_EQ(listing.members.size(), 2u);
  EXPECT_EQ(test::textOf(listing.members.at("Shared name.txt")), "in both trees");
  EXPECT_EQ(test::textOf(listing.members.at("Hidden one.txt")), "only in the Joliet tree");
}

TEST(IsoReader, NoVolumeDescriptorIsNoImage) {
  std::vector<std::byte> bytes(40000);
  TAbIsoArchive iso(std::make_unique<MemorySource>(bytes), "zero.iso");
  EXPECT_THROW(iso.LoadDirectory(), EAbException);
}

} // namespace
} // namespace kyv::archive
