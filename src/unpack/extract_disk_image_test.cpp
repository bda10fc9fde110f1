// Disk images as the scan kernel sees them: recognised by their volume area at 32 KiB, however
// the file starts, and every file of the image delivered with its bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "iso_builder.h"
#include "platform/system.h"
#include "test_support.h"
#include "udf_builder.h"
#include "unpack/decompress.h"
#include "unpack/recognition.h"
#include "unpack_fixture.h"
#include "zip_builder.h"

namespace kyv::unpack {
namespace {

using test::IsoBuilder;

using DiskImages = test::UnpackFixture;

// An image with one file in a folder and one that runs past the image's end.
std::vector<std::byte> smallIso(std::vector<std::byte> systemArea = {}) {
  IsoBuilder b;
  std::copy(systemArea.begin(), systemArea.end(), b.image().begin());
  const std::uint32_t root = b.allocate();
  const std::uint32_t sub = b.allocate();
  const std::uint32_t data = b.file("payload bytes");
  const std::uint32_t cut = b.file("the start of a cut file");
  const std::string_view self("\0", 1), parent("\1", 1);
  b.directory(root,
              {IsoBuilder::record(root, 2048, 2, self), IsoBuilder::record(root, 2048, 2, parent),
               IsoBuilder::record(sub, 2048, 2, "DIR"),
               IsoBuilder::record(cut, 100000, 0, "CUT.BIN;1")});
  b.directory(sub,
              {IsoBuilder::record(sub, 2048, 2, self), IsoBuilder::record(root, 2048, 2, parent),
               IsoBuilder::record(data, 13, 0, "FILE.TXT;1")});
  b.descriptor(0, 1, root, 2048);
  b.terminator(1);
  return b.image();
}

TEST_F(DiskImages, RecognisedAt32KiBAlongsideWhatTheHeadSays) {
  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
    std::vector<std::string_view> types;
  };
  std::vector<std::byte> cutShort = smallIso();
  cutShort.resize(32768 + 2047); // the descriptor is not whole
  const std::vector<Case> cases{
      {"plain", smallIso(), {"ISO"}},
      // The system area is free for anything: a ZIP there is unpacked, and the image too.
      {"zip-headed",
       smallIso(test::buildStoredZip({{"z.txt", test::bytesOf("zip member")}})),
       {"ZIP", "ISO"}},
      {"short", cutShort, {}},
      {"zeros", std::vector<std::byte>(40000), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto path = dir / c.what;
    test::writeFile(path, c.bytes);
    std::vector<std::byte> head(4097);
    std::copy_n(c.bytes.begin(), 2000, head.begin());
    FileProbe probe(head, path.string());
    EXPECT_EQ(recognise(probe), c.types);
    // A file known to be too short is not read again.
    FileProbe small(head, path.string(), 30000);
    EXPECT_TRUE(small.volumeArea().empty());
  }
}

TEST_F(DiskImages, IsoFilesAreDeliveredAndACutFileAsFarAsItGoes) {
  const auto path = dir / "image.iso";
  test::writeFile(path, smallIso(test::buildStoredZip({{"z.txt", test::bytesOf("zip member")}})));
  unpack(path);
  // A folder's files come after those of its parent.
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].type, "ZIP");
  EXPECT_EQ(seen[1].type, "ISO");
  EXPECT_EQ(seen[1].name, "CUT.BIN");
  EXPECT_EQ(seen[1].content.substr(0, 23), "the start of a cut file");
  EXPECT_EQ(seen[2].name, "DIR/FILE.TXT");
  EXPECT_EQ(seen[2].content, "payload bytes");
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].ItemName, "CUT.BIN");
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(DiskImages, PureUdfImageIsDelivered) {
  test::UdfBuilder b;
  b.write(20, "payload in UDF");
  b.folder(1, 1, {test::UdfBuilder::fid(0, 2, "file.txt")});
  b.entry(2, test::UdfBuilder::kFile, test::UdfBuilder::Short, 14,
          test::UdfBuilder::shortAds({{14, 20}}));
  const auto path = dir / "pure.udf";
  test::writeFile(path, b.image());
  std::vector<std::byte> head(4097);
  FileProbe probe(head, path.string());
  EXPECT_EQ(recognise(probe), std::vector<std::string_view>{"UDF"});
  unpack(path);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, "UDF");
  EXPECT_EQ(seen[0].name, "file.txt");
  EXPECT_EQ(seen[0].content, "payload in UDF");
  EXPECT_TRUE(gaps.empty());
  EXPECT_TRUE(leftovers().empty());
}

// A hybrid image is both ISO and UDF: each file is delivered once, from the UDF tree, which also
// gives the file hidden from the ISO tree.
TEST_F(DiskImages, HybridFilesAreDeliveredOnceFromEitherTree) {
  if (!test::haveProgram("genisoimage"))
    GTEST_SKIP() << "genisoimage not installed";
  const auto src = dir / "src";
  std::filesystem::create_directories(src / "sub");
  test::writeFile(src / "a.txt", "in both trees");
  test::writeFile(src / "sub" / "b.txt", "also in both");
  test::writeFile(src / "udf-only.txt", "hidden from the ISO tree");
  const auto path = dir / "hybrid.iso";
  ASSERT_EQ(test::run("genisoimage -quiet -udf -J -R -hide udf-only.txt -o '" + path.string() +
                      "' '" + src.string() + "'"),
            0);
  const auto bytes = test::readFile(path);
  std::vector<std::byte> head(4097);
  std::copy_n(bytes.begin(), 2000, head.begin());
  FileProbe probe(head, path.string());
  EXPECT_EQ(recognise(probe), (std::vector<std::string_view>{"ISO", "UDF"}));
  unpack(path);
  std::multiset<std::string> names;
  for (const Delivered& d : seen) {
    EXPECT_EQ(d.type, "UDF");
    names.insert(d.name);
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"a.txt", "sub/b.txt", "udf-only.txt"}));
  EXPECT_TRUE(leftovers().empty());
}

} // namespace
} // namespace kyv::unpack
