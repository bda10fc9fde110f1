// The cabinet header parser on its own: cabinets built in the test, sound and damaged one field at
// a time, read from memory.
#include "archive/cab_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cab_builder.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

std::optional<CabDirectory> directoryOf(const std::vector<std::byte>& bytes) {
  MemorySource source(bytes);
  return readCabDirectory(source);
}

// A bare header for damage tests: the fixed part with the given flags and one file, a reserve
// area of reserveBytes when the flag asks for it, the given names, then the file table.
struct RawCab {
  std::uint16_t flags = 0;
  std::uint16_t reserveBytes = 0;
  std::vector<std::string> names; // previous and/or next cabinet and disk, as the flags say
  std::string fileName = "a.txt";
  std::uint8_t version = 1;

  std::vector<std::byte> build() const {
    std::vector<std::byte> out(kCabHeaderSize);
    std::copy(kCabSignature.begin(), kCabSignature.end(), out.begin());
    out[kCabOffVersionMajor] = std::byte{version};
    storeLe16(&out[kCabOffFolders], 1);
    storeLe16(&out[kCabOffFileCount], 1);
    storeLe16(&out[kCabOffFlags], flags);
    storeLe16(&out[kCabOffSetId], 0x4242);
    storeLe16(&out[kCabOffIndex], 3);
    auto put = [&out](std::string_view s) {
      for (char c : s)
        out.push_back(static_cast<std::byte>(c));
    };
    if (flags & kCabFlagReserve) {
      out.resize(out.size() + kCabReserveSizes);
      storeLe16(&out[kCabHeaderSize], reserveBytes);
      out.resize(out.size() + reserveBytes, std::byte{0xEE});
    }
    for (const auto& n : names)
      put(n), out.push_back(std::byte{0});
    storeLe32(&out[kCabOffFiles], static_cast<std::uint32_t>(out.size()));
    out.resize(out.size() + kCabFileEntrySize);
    storeLe32(&out[out.size() - 16], 7);     // size
    storeLe32(&out[out.size() - 12], 5);     // offset in the folder
    storeLe16(&out[out.size() - 4], 0x1234); // time
    put(fileName), out.push_back(std::byte{0});
    storeLe32(&out[kCabOffSize], static_cast<std::uint32_t>(out.size()));
    return out;
  }
};

// Everything a sound cabinet says comes back as stored, continued files included.
TEST(CabFormat, ReadsHeaderNamesAndFileTable) {
  test::CabBuilder b;
  b.previous = "prev.cab";
  b.next = "next.cab";
  b.files = {{"from-before.bin", "xx", kCabContinuedFromPrevious},
             {"dir\\one.txt", "hello"},
             {"two\xE9.txt", "world!", 1}};
  const auto bytes = b.build();
  const auto dir = directoryOf(bytes);
  ASSERT_TRUE(dir);
  const CabHeader& h = dir->header;
  EXPECT_EQ(h.cabinetSize, bytes.size());
  EXPECT_EQ(h.folderCount, 2);
  EXPECT_EQ(h.fileCount, 3);
  EXPECT_EQ(h.setId, 0x1234);
  EXPECT_EQ(h.cabinetIndex, 1);
  EXPECT_TRUE(h.hasPrevious());
  EXPECT_TRUE(h.hasNext());
  EXPECT_FALSE(h.hasReserve());
  EXPECT_EQ(h.previousName, "prev.cab");
  EXPECT_EQ(h.previousDisk, "disk0");
  EXPECT_EQ(h.nextName, "next.cab");
  EXPECT_EQ(h.nextDisk, "disk2");
  ASSERT_EQ(dir->files.size(), 3u);
  EXPECT_TRUE(dir->files[0].continuedFromPrevious());
  EXPECT_EQ(dir->files[0].name, "from-before.bin");
  EXPECT_EQ(dir->files[1].name, "dir\\one.txt");
  EXPECT_FALSE(dir->files[1].continuedFromPrevious());
  EXPECT_EQ(dir->files[1].size, 5u);
  EXPECT_EQ(dir->files[1].folder, 0);
  EXPECT_EQ(dir->files[1].date, 0x5A21);
  EXPECT_EQ(dir->files[1].time, 0x6000);
  EXPECT_EQ(dir->files[1].attributes, 0x20);
  EXPECT_EQ(dir->files[2].name, "two\xE9.txt");
  EXPECT_EQ(dir->files[2].folder, 1);
  EXPECT_EQ(dir->files[2].offset, 0u);

  MemorySource source(bytes);
  const auto fixed = readCabHeader(source);
  ASSERT_TRUE(fixed);
  EXPECT_EQ(fixed->fileCount, 3);
  EXPECT_TRUE(fixed->previousName.empty()); // the fixed part only
}

// The reserve area is stepped over by its declared size, before the neighbours' names.
TEST(CabFormat, StepsOverTheReserveArea) {
  RawCab raw;
  raw.flags = kCabFlagReserve | kCabFlagNext;
  raw.reserveBytes = 300;
  raw.names = {"n.cab", "d"};
  const auto dir = directoryOf(raw.build());
  ASSERT_TRUE(dir);
  EXPECT_TRUE(dir->header.hasReserve());
  EXPECT_EQ(dir->header.nextName, "n.cab");
  EXPECT_EQ(dir->header.nextDisk, "d");
  ASSERT_EQ(dir->files.size(), 1u);
  EXPECT_EQ(dir->files[0].name, "a.txt");
  EXPECT_EQ(dir->files[0].size, 7u);
  EXPECT_EQ(dir->files[0].offset, 5u);
  EXPECT_EQ(dir->files[0].time, 0x1234);
}

// Names: 255 bytes and the terminator fit the format's limit; one byte more does not.
TEST(CabFormat, NameLengthLimit) {
  RawCab raw;
  raw.fileName = std::string(255, 'n');
  auto dir = directoryOf(raw.build());
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->files[0].name.size(), 255u);
  raw.fileName = std::string(256, 'n');
  EXPECT_FALSE(directoryOf(raw.build()));
  raw.fileName = "";
  dir = directoryOf(raw.build());
  ASSERT_TRUE(dir);
  EXPECT_EQ(dir->files[0].name, "");
}

// Damage anywhere in the header makes the directory unreadable (never a read past the input);
// the fixed header alone still answers while it is whole and signed.
TEST(CabFormat, DamagedHeaders) {
  RawCab prevNext;
  prevNext.flags = kCabFlagPrevious | kCabFlagNext;
  prevNext.names = {"p.cab", "pd", "n.cab", "nd"};
  const auto sound = prevNext.build();
  const std::size_t namesEnd = kCabHeaderSize + 6 + 3 + 6 + 3;
  RawCab reserve; // declares a reserve area that runs past the end, where the names should be
  reserve.flags = kCabFlagReserve | kCabFlagNext;
  reserve.reserveBytes = 4;
  reserve.names = {"n.cab", "d"};
  auto reserveTooLong = reserve.build();
  storeLe16(&reserveTooLong[kCabHeaderSize], 60000);
  RawCab v2;
  v2.version = 2;

  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
    bool fixedReads;
  };
  auto cut = [&sound](std::size_t n) {
    return std::vector<std::byte>(sound.begin(), sound.begin() + n);
  };
  auto patched = [&sound](std::size_t at, std::uint32_t v) {
    auto b = sound;
    storeLe32(&b[at], v);
    return b;
  };
  auto noTerminator = sound;
  noTerminator.resize(namesEnd + kCabFileEntrySize + 5); // the file name loses its NUL
  const std::vector<Case> cases = {
      {"empty", {}, false},
      {"fixed header cut short", cut(kCabHeaderSize - 1), false},
      {"wrong signature", patched(0, 0x4643534E), false},
      {"major version 2", v2.build(), false},
      {"previous name cut", cut(kCabHeaderSize + 3), true},
      {"next disk cut", cut(namesEnd - 1), true},
      {"file table past the end", patched(kCabOffFiles, 0xFFFFFFF0), true},
      {"file entry cut", cut(namesEnd + kCabFileEntrySize - 1), true},
      {"file name without terminator", noTerminator, true},
      {"more files than the table holds",
       [&] {
         auto b = sound;
         storeLe16(&b[kCabOffFileCount], 0xFFFF);
         return b;
       }(),
       true},
      {"reserve area past the end", reserveTooLong, true},
  };
  ASSERT_TRUE(directoryOf(sound));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(directoryOf(c.bytes));
    MemorySource source(c.bytes);
    EXPECT_EQ(readCabHeader(source).has_value(), c.fixedReads);
  }
}

} // namespace
} // namespace kyv::archive
