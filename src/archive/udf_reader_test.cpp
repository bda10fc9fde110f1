// The UDF reader: hybrid images made by genisoimage read back and compared with the files that
// went in and with 7-Zip's listing; pure UDF images built here for embedded data, wide names,
// allocation chains and the faults no producer writes on purpose.
#include "archive/udf_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "archive/iso_reader.h"
#include "archive/udf_format.h"
#include "platform/codepages.h"
#include "platform/file.h"
#include "test_support.h"
#include "udf_builder.h"

namespace kyv::archive {
namespace {

using test::UdfBuilder;

struct Listing {
  std::map<std::string, std::string> members;
  std::map<std::string, bool> failed;
  std::string incomplete;
  std::set<ExtentKey> keys;
};

Listing readUdf(std::unique_ptr<ByteSource> source) {
  TAbUdfArchive udf(std::move(source), "test.udf");
  udf.LoadDirectory();
  Listing out;
  out.incomplete = udf.Incomplete();
  bool failed = false;
  udf.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass, int) {
    failed = true;
  };
  for (int i = 0; i < udf.MemberCount(); ++i) {
    const auto& item = static_cast<const TAbImageItem&>(*udf.MemberAt(i));
    VectorSink sink;
    failed = false;
    udf.ExtractMemberToStreamAt(i, sink);
    EXPECT_TRUE(out.members.emplace(item.FileName, test::textOf(sink.bytes())).second)
        << item.FileName;
    out.failed[item.FileName] = failed;
    out.keys.insert(extentKey(item));
  }
  return out;
}

Listing readUdf(std::vector<std::byte>& bytes) {
  return readUdf(std::make_unique<MemorySource>(bytes));
}

std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

TEST(UdfInterop, GenisoimageHybridGivesEveryFileOnceAcrossBothTrees) {
  if (!test::haveProgram("genisoimage") || !test::haveProgram("7zz"))
    GTEST_SKIP() << "genisoimage or 7zz not installed";
  test::ScratchDir dir;
  std::map<std::string, std::string> files;
  const auto put = [&](const std::string& name, const std::string& data) {
    const auto path = dir / "src" / name;
    std::filesystem::create_directories(path.parent_path());
    test::writeFile(path, data);
    files[platform::utf8ToCp1251(name)] = data;
  };
  put("a/b/c/d/e/f/g/h/deep.txt", "deep down\n");
  put("\xD0\x94\xD0\xBB\xD0\xB8\xD0\xBD\xD0\xBD\xD0\xBE\xD0\xB5.txt", "unicode name\n");
  put("hidden-from-iso.txt", "only the UDF tree lists this\n");
  std::string big;
  for (std::uint32_t x = 1, i = 0; i < 200000; ++i)
    big.push_back(static_cast<char>((x = x * 1103515245u + 12345u) >> 16));
  put("big.bin", big);
  for (int i = 0; i < 200; ++i)
    put("many/f" + std::to_string(i), std::to_string(i) + "\n");
  const auto image = dir / "hybrid.iso";
  ASSERT_EQ(test::run("cd " + q(dir.path()) +
                      " && genisoimage -quiet -udf -J -R -hide hidden-from-iso.txt -o " + q(image) +
                      " src"),
            0);
  const Listing udf = readUdf(platform::FileSource::open(image.string()));
  EXPECT_EQ(udf.incomplete, "");
  std::map<std::string, std::string> got(udf.members.begin(), udf.members.end());
  EXPECT_EQ(got, files);

  // 7-Zip's listing of the UDF tree names the same files.
  const auto out = dir / "listing.txt";
  ASSERT_EQ(test::run("7zz l -tudf -ba -slt " + q(image) + " > " + q(out)), 0);
  std::set<std::string> peer;
  const std::string text = test::textOf(test::readFile(out));
  std::string path;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (line.rfind("Path = ", 0) == 0)
      path = line.substr(7);
    else if (line == "Folder = -")
      peer.insert(platform::utf8ToCp1251(path));
  }
  std::set<std::string> names;
  for (const auto& [name, data] : udf.members)
    names.insert(name);
  EXPECT_EQ(names, peer);

  // The ISO trees list the same bytes: given the UDF files' places, nothing is left to deliver.
  TAbIsoArchive iso(platform::FileSource::open(image.string()), "hybrid.iso");
  iso.SetKnownExtents(udf.keys);
  iso.LoadDirectory();
  for (int i = 0; i < iso.MemberCount(); ++i)
    EXPECT_EQ(iso.MemberAt(i)->UncompressedSize, 0u) << iso.MemberAt(i)->FileName;
}

// mkudffs writes empty volumes only (filling them needs a mount), but those show that the
// volume structures of each revision and sector size are found: 512-byte sectors for a disk,
// 2048-byte ones for DVD, extended file entries from 2.00.
TEST(UdfInterop, EmptyVolumesOfMkudffsOpen) {
  if (!test::haveProgram("mkudffs"))
    GTEST_SKIP() << "mkudffs not installed";
  test::ScratchDir dir;
  for (const std::string options : {"-m hd -r 1.02", "-m hd -r 2.01", "-m hd -b 2048 -r 2.01",
                                    "-m dvd -r 2.01", "-m dvdram -r 2.00"}) {
    SCOPED_TRACE(options);
    const auto image = dir / "empty.udf";
    std::filesystem::remove(image);
    ASSERT_EQ(test::run("mkudffs " + options + " " + q(image) + " 3000 >/dev/null 2>&1"), 0);
    const Listing l = readUdf(platform::FileSource::open(image.string()));
    EXPECT_EQ(l.incomplete, "");
    EXPECT_TRUE(l.members.empty());
  }
}

TEST(UdfReader, EmbeddedRecordedChainedAndWideNamedFiles) {
  UdfBuilder b;
  b.write(20, "recorded in a block");
  b.write(21, std::string(2048, 'x'));
  b.write(23, "second run");
  // Block 22 holds further allocation descriptors: the rest of CHAIN.BIN.
  {
    std::vector<std::byte> aed(24 + 8);
    aed[0] = std::byte{2}; // 258
    aed[1] = std::byte{1};
    aed[2] = std::byte{2};
    aed[12] = std::byte{22};
    aed[20] = std::byte{8};
    const auto ad = UdfBuilder::shortAds({{10, 23}});
    std::copy(ad.begin(), ad.end(), aed.begin() + 24);
    UdfBuilder::seal(aed);
    std::copy(aed.begin(), aed.end(), b.block(22));
  }
  b.folder(1, 1,
           {UdfBuilder::fid(0, 2, "embedded.txt"), UdfBuilder::fid(0, 3, "recorded.txt"),
            UdfBuilder::fid(0, 4, "Wide name.txt", true), UdfBuilder::fid(2, 5, "sub")});
  b.entry(2, UdfBuilder::kFile, UdfBuilder::Embedded, 14, test::bytesOf("kept in place!"));
  b.entry(3, UdfBuilder::kFile, UdfBuilder::Short, 19, UdfBuilder::shortAds({{2048, 20}}));
  b.entry(4, UdfBuilder::kFile, UdfBuilder::Short, 6, UdfBuilder::shortAds({{6, 20}}));
  // A folder whose entry holds a run of zeros (allocated, not recorded) and a chain.
  b.folder(5, 1, {UdfBuilder::fid(0, 6, "chain.bin"), UdfBuilder::fid(0, 7, "sparse.bin")});
  b.entry(6, UdfBuilder::kFile, UdfBuilder::Short, 2058,
          UdfBuilder::shortAds({{2048, 21}, {(3u << 30) | 2048, 22}}));
  b.entry(7, UdfBuilder::kFile, UdfBuilder::Short, 4,
          UdfBuilder::shortAds({{(1u << 30) | 2048, 0}}));
  const Listing l = readUdf(b.image());
  EXPECT_EQ(l.incomplete, "");
  const std::map<std::string, std::string> want{
      {"embedded.txt", "kept in place!"},
      {"recorded.txt", "recorded in a block"},
      {"Wide name.txt", "record"},
      {"sub/chain.bin", std::string(2048, 'x') + "second run"},
      {"sub/sparse.bin", std::string(4, '\0')},
  };
  EXPECT_EQ(l.members, want);
}

TEST(UdfReader, LoopsDamageAndLiesEndCleanly) {
  UdfBuilder b;
  b.write(20, "intact");
  // The root names itself and its sub-folder, which names the root again; one entry's tag is
  // spoilt; one file claims runs far past the image's end; an allocation chain names itself.
  b.folder(1, 1,
           {UdfBuilder::fid(2, 1, "self"), UdfBuilder::fid(2, 2, "sub"),
            UdfBuilder::fid(0, 3, "damaged.txt"), UdfBuilder::fid(0, 4, "past.bin"),
            UdfBuilder::fid(0, 5, "loop.bin"), UdfBuilder::fid(0, 6, "intact.txt"),
            UdfBuilder::fid(0, 60000, "nowhere.txt")});
  b.folder(2, 1, {UdfBuilder::fid(2, 1, "up")});
  b.entry(3, UdfBuilder::kFile, UdfBuilder::Short, 6, UdfBuilder::shortAds({{6, 20}}));
  b.block(3)[100] ^= std::byte{1}; // the CRC no longer matches
  b.entry(4, UdfBuilder::kFile, UdfBuilder::Short, 0x3FFFFFFF,
          UdfBuilder::shortAds({{0x3FFFFFFF, 63}}));
  {
    std::vector<std::byte> aed(24 + 8);
    aed[0] = std::byte{2};
    aed[1] = std::byte{1};
    aed[2] = std::byte{2};
    aed[12] = std::byte{21};
    aed[20] = std::byte{8};
    const auto ad = UdfBuilder::shortAds({{(3u << 30) | 2048, 21}});
    std::copy(ad.begin(), ad.end(), aed.begin() + 24);
    UdfBuilder::seal(aed);
    std::copy(aed.begin(), aed.end(), b.block(21));
  }
  b.entry(5, UdfBuilder::kFile, UdfBuilder::Short, 100,
          UdfBuilder::shortAds({{(3u << 30) | 2048, 21}}));
  b.entry(6, UdfBuilder::kFile, UdfBuilder::Short, 6, UdfBuilder::shortAds({{6, 20}}));
  const Listing l = readUdf(b.image());
  EXPECT_NE(l.incomplete, "");
  ASSERT_EQ(l.members.size(), 2u);
  EXPECT_EQ(l.members.at("intact.txt"), "intact");
  EXPECT_TRUE(l.failed.at("past.bin"));
  EXPECT_FALSE(l.failed.at("intact.txt"));
}

TEST(UdfReader, NoAnchorIsNoImage) {
  UdfBuilder b;
  b.image()[256 * UdfBuilder::kSector + 4] ^= std::byte{1}; // the anchor's checksum
  TAbUdfArchive udf(std::make_unique<MemorySource>(b.image()), "bad.udf");
  EXPECT_THROW(udf.LoadDirectory(), EAbException);
}

TEST(UdfFormat, TagsAreCheckedByChecksumCrcAndLocation) {
  std::vector<std::byte> d(64);
  d[0] = std::byte{5};
  d[12] = std::byte{9};
  UdfBuilder::seal(d);
  EXPECT_EQ(udf::checkedTag(d, 9), std::optional<std::uint16_t>(5));
  EXPECT_EQ(udf::checkedTag(d, 10), std::nullopt);
  EXPECT_EQ(udf::checkedTag(std::span(d).first(40), 9), std::nullopt); // CRC range cut off
  d[63] ^= std::byte{1};
  EXPECT_EQ(udf::checkedTag(d, 9), std::nullopt);
}

} // namespace
} // namespace kyv::archive
