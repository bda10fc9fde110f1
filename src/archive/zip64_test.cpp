// ZIP64 as writers produce it: the 64-bit end record found through its locator, escaped sizes and
// offsets taken from the extra field, more entries than the 16-bit count holds, and members and
// offsets beyond 4 GiB (read from a source that is mostly holes, so nothing large is stored).
#include "archive/zip_archive.h"

#include <gtest/gtest.h>

#include <map>

#include "codec/checksum.h"
#include "base/endian.h"
#include "pieces_source.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::PiecesSource;
using test::textOf;

void put16(std::vector<std::byte>& v, std::uint64_t x) {
  v.push_back(std::byte(x & 0xFF));
  v.push_back(std::byte((x >> 8) & 0xFF));
}
void put32(std::vector<std::byte>& v, std::uint64_t x) {
  put16(v, x & 0xFFFF);
  put16(v, (x >> 16) & 0xFFFF);
}
void put64(std::vector<std::byte>& v, std::uint64_t x) {
  put32(v, x & 0xFFFFFFFF);
  put32(v, x >> 32);
}
void putText(std::vector<std::byte>& v, std::string_view s) {
  for (char c : s)
    v.push_back(std::byte(static_cast<unsigned char>(c)));
}

// A member of a built archive: stored, its data given either as bytes or as a length of zeros
// that the source below leaves as a hole.
struct Member {
  std::string name;
  std::string data;
  std::uint64_t holeSize = 0; // zeros after data, never stored
};

// How the directory says what it says.
struct Layout {
  bool escapeSizes = true;       // sizes in the ZIP64 extra block
  bool escapeOffsets = true;     // local-header offsets in the ZIP64 extra block
  bool escapeEnd = true;         // the classic end record's counts and offset all ones
  bool otherExtraFirst = false;  // an unrelated extra block before the ZIP64 one
  bool zip64End = true;          // write the ZIP64 end record and locator
  std::uint64_t locatorSkew = 0; // added to the locator's record offset (a wrong locator)
};

std::unique_ptr<PiecesSource> build(const std::vector<Member>& members, const Layout& layout) {
  auto source = std::make_unique<PiecesSource>();
  std::uint64_t at = 0;
  std::vector<std::byte> directory;
  for (const Member& m : members) {
    const std::uint64_t size = m.data.size() + m.holeSize;
    // A member with a hole is only ever read in part, so its CRC-32 is not worked out.
    const std::uint32_t crc = m.holeSize == 0 ? codec::crc32Update(0, asBytes(m.data)) : 0;
    // Local header: ZIP64 sizes in its own extra block, as streaming writers do.
    std::vector<std::byte> local;
    put32(local, 0x04034B50);
    put16(local, 45);
    put16(local, 0);
    put16(local, 0);
    put32(local, 0);
    put32(local, crc);
    put32(local, 0xFFFFFFFF);
    put32(local, 0xFFFFFFFF);
    put16(local, m.name.size());
    put16(local, 20);
    putText(local, m.name);
    put16(local, 0x0001);
    put16(local, 16);
    put64(local, size);
    put64(local, size);
    putText(local, m.data);
    const std::uint64_t offset = at;
    at += local.size() + m.holeSize;
    source->put(offset, std::move(local));

    std::vector<std::byte> extra;
    if (layout.otherExtraFirst) {
      put16(extra, 0x5455); // a time stamp block
      put16(extra, 5);
      putText(extra, "\x03\x01\x02\x03\x04");
    }
    std::vector<std::byte> block;
    if (layout.escapeSizes) {
      put64(block, size);
      put64(block, size);
    }
    if (layout.escapeOffsets)
      put64(block, offset);
    if (!block.empty()) {
      put16(extra, 0x0001);
      put16(extra, block.size());
      extra.insert(extra.end(), block.begin(), block.end());
    }
    put32(directory, 0x02014B50);
    put16(directory, 0x032D);
    put16(directory, 45);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, crc);
    put32(directory, layout.escapeSizes ? 0xFFFFFFFF : size);
    put32(directory, layout.escapeSizes ? 0xFFFFFFFF : size);
    put16(directory, m.name.size());
    put16(directory, extra.size());
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, 0);
    put32(directory, layout.escapeOffsets ? 0xFFFFFFFF : offset);
    putText(directory, m.name);
    directory.insert(directory.end(), extra.begin(), extra.end());
  }
  const std::uint64_t directoryOffset = at;
  const std::uint64_t directorySize = directory.size();
  std::vector<std::byte> tail = std::move(directory);
  if (layout.zip64End) {
    const std::uint64_t recordAt = directoryOffset + tail.size();
    put32(tail, 0x06064B50);
    put64(tail, 44);
    put16(tail, 0x032D);
    put16(tail, 45);
    put32(tail, 0);
    put32(tail, 0);
    put64(tail, members.size());
    put64(tail, members.size());
    put64(tail, directorySize);
    put64(tail, directoryOffset);
    put32(tail, 0x07064B50);
    put32(tail, 0);
    put64(tail, recordAt + layout.locatorSkew);
    put32(tail, 1);
  }
  put32(tail, 0x06054B50);
  put16(tail, 0);
  put16(tail, 0);
  put16(tail, layout.escapeEnd ? 0xFFFF : members.size());
  put16(tail, layout.escapeEnd ? 0xFFFF : members.size());
  put32(tail, layout.escapeEnd ? 0xFFFFFFFF : directorySize);
  put32(tail, layout.escapeEnd ? 0xFFFFFFFF : directoryOffset);
  put16(tail, 0);
  source->put(directoryOffset, std::move(tail));
  return source;
}

std::unique_ptr<TAbZipArchive> open(std::unique_ptr<PiecesSource> source) {
  auto archive = std::make_unique<TAbZipArchive>(std::move(source), "zip64.zip");
  archive->LoadDirectory();
  return archive;
}

std::string extractAt(TAbArchive& archive, int index) {
  VectorSink sink;
  archive.ExtractMemberToStreamAt(index, sink);
  return textOf(sink.bytes());
}

TEST(Zip64, EveryWayOfWritingTheRecordsGivesTheSameMembers) {
  const std::vector<Member> members = {{"first.txt", "alpha"}, {"dir/second.txt", "beta beta"}};
  struct Case {
    const char* what;
    Layout layout;
  };
  Layout sizesOnly;
  sizesOnly.escapeOffsets = false;
  Layout offsetsOnly;
  offsetsOnly.escapeSizes = false;
  Layout otherFirst;
  otherFirst.otherExtraFirst = true;
  Layout classicCounts;
  classicCounts.escapeEnd = false;
  Layout skewedLocator; // data put in front of the archive moves the record, not the locator
  skewedLocator.locatorSkew = 7;
  const Case cases[] = {{"everything escaped", {}},
                        {"sizes only", sizesOnly},
                        {"offsets only", offsetsOnly},
                        {"other extra block first", otherFirst},
                        {"classic counts kept", classicCounts},
                        {"wrong locator", skewedLocator}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto archive = open(build(members, c.layout));
    ASSERT_TRUE(archive->Footer64().has_value());
    ASSERT_EQ(archive->MemberCount(), 2);
    EXPECT_EQ(archive->MemberAt(1)->FileName, "dir/second.txt");
    EXPECT_EQ(archive->MemberAt(1)->UncompressedSize, 9u);
    EXPECT_EQ(archive->MemberAt(1)->CompressedSize, 9u);
    EXPECT_EQ(extractAt(*archive, 0), "alpha");
    EXPECT_EQ(extractAt(*archive, 1), "beta beta");
  }
}

TEST(Zip64, WithoutItsRecordAnEscapedDirectoryIsRefused) {
  // The end record says "look in the ZIP64 record" and there is none: no guessing.
  Layout noRecord;
  noRecord.zip64End = false;
  TAbZipArchive archive(build({{"a", "1"}}, noRecord), "t.zip");
  EXPECT_THROW(archive.LoadDirectory(), EAbZipInvalid);
}

TEST(Zip64, MoreEntriesThanTheSixteenBitCountHolds) {
  std::vector<Member> members;
  for (int i = 0; i < 70000; ++i)
    members.push_back({"f" + std::to_string(i), std::to_string(i)});
  Layout layout;
  layout.escapeSizes = false;
  layout.escapeOffsets = false;
  auto archive = open(build(members, layout));
  ASSERT_EQ(archive->MemberCount(), 70000);
  EXPECT_EQ(archive->Footer64()->TotalEntries, 70000u);
  EXPECT_EQ(extractAt(*archive, 69999), "69999");
  EXPECT_EQ(archive->MemberAt(65536)->FileName, "f65536");
}

TEST(Zip64, MembersAndOffsetsBeyondFourGiB) {
  constexpr std::uint64_t kBig = (std::uint64_t{5} << 30) + 3; // 5 GiB and a bit
  auto archive =
      open(build({{"big.bin", "HEAD", kBig}, {"after.txt", "found after the big one"}}, {}));
  ASSERT_EQ(archive->MemberCount(), 2);
  EXPECT_EQ(archive->MemberAt(0)->UncompressedSize, kBig + 4);
  EXPECT_GT(archive->ZipItemAt(1)->RelativeOffset(), std::uint64_t{1} << 32);
  EXPECT_EQ(extractAt(*archive, 1), "found after the big one");

  // A target that takes only so much (the scan's budget) cuts the big member: what was written
  // stands, and the failure is told, not swallowed silently.
  VectorSink limited(1 << 20);
  int failures = 0;
  archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                      int) { ++failures; };
  archive->ExtractMemberToStreamAt(0, limited);
  EXPECT_EQ(failures, 1);
  ASSERT_GE(limited.bytes().size(), 4u);
  EXPECT_LE(limited.bytes().size(), std::size_t{1} << 20);
  EXPECT_EQ(textOf(std::span(limited.bytes()).first(4)), "HEAD");
}

} // namespace
} // namespace kyv::archive
