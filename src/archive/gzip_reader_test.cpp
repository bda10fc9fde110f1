// The GZIP reader: the header with its optional fields, sizes from the trailer, extraction into
// a file that does not survive a failure, and files made by gzip and by other producers.
#include "archive/gzip_reader.h"

#include <gtest/gtest.h>

#include <iostream>

#include <filesystem>
#include <string>
#include <vector>

#include "codec/checksum.h"
#include "base/endian.h"
#include "platform/file.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::bytesOf;
using test::textOf;
namespace fs = std::filesystem;

// A GZIP member built by hand. The data is one final stored deflate block (BFINAL=1, BTYPE=00,
// then LEN, NLEN and the bytes), which is valid deflate for any payload up to 65535 bytes.
struct GzipBuilder {
  std::uint8_t method = 8;
  std::uint8_t flags = 0;
  std::string extra, name, comment;
  std::string payload;

  std::vector<std::byte> build() const {
    std::vector<std::byte> out;
    auto u8 = [&](unsigned v) { out.push_back(static_cast<std::byte>(v)); };
    auto u16 = [&](unsigned v) { u8(v & 0xFF), u8(v >> 8); };
    auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
    auto text = [&](const std::string& s) {
      for (char c : s)
        u8(static_cast<unsigned char>(c));
    };
    u8(0x1F), u8(0x8B), u8(method), u8(flags);
    u32(0x5F5E1000); // MTIME
    u8(0), u8(3);    // XFL, OS (Unix)
    if (flags & kGzipFlagExtra) {
      u16(static_cast<unsigned>(extra.size()));
      text(extra);
    }
    if (flags & kGzipFlagName)
      text(name), u8(0);
    if (flags & kGzipFlagComment)
      text(comment), u8(0);
    if (flags & kGzipFlagHeaderCrc)
      u16(codec::crc32Update(0, out) & 0xFFFF);
    u8(0x01); // BFINAL, stored
    u16(static_cast<unsigned>(payload.size()));
    u16(~static_cast<unsigned>(payload.size()) & 0xFFFF);
    text(payload);
    u32(codec::crc32Update(0, asBytes(payload)));
    u32(static_cast<std::uint32_t>(payload.size()));
    return out;
  }
};

struct Loaded {
  test::ScratchDir dir;
  std::unique_ptr<TAbGzipArchive> archive;
};

std::unique_ptr<Loaded> loadFile(std::span<const std::byte> bytes) {
  auto l = std::make_unique<Loaded>();
  const auto path = l->dir / "in.gz";
  test::writeFile(path, bytes);
  l->archive = std::make_unique<TAbGzipArchive>(path.string());
  l->archive->LoadDirectory();
  return l;
}

TEST(GzipReader, AllFourHeaderFlagsAreReadAndDataStartsAfterTheHeaderCrc) {
  GzipBuilder b;
  b.flags = kGzipFlagExtra | kGzipFlagName | kGzipFlagComment | kGzipFlagHeaderCrc;
  b.extra = "AB\x04\0xyzw";
  b.name = "inner.txt";
  b.comment = "a comment";
  b.payload = "the payload";
  auto l = loadFile(b.build());
  auto& a = *l->archive;
  ASSERT_EQ(a.MemberCount(), 1);
  auto* item = dynamic_cast<TAbGzipItem*>(a.MemberAt(0));
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->FileName, "inner.txt");
  EXPECT_EQ(item->Header.comment, "a comment");
  EXPECT_EQ(textOf(item->Header.extra), b.extra);
  EXPECT_EQ(item->UncompressedSize, b.payload.size());
  EXPECT_EQ(item->CompressedSize, 5 + b.payload.size()); // block header + stored bytes
  EXPECT_EQ(a.MemberAt(1), nullptr);
  const auto out = l->dir / "out";
  a.ExtractMemberAt(0, out.string());
  EXPECT_EQ(textOf(test::readFile(out)), "the payload");
}

TEST(GzipReader, NamesAndMembers) {
  struct Case {
    const char* what;
    GzipBuilder b;
    int members;
    const char* name;
  } cases[] = {
      {"no FNAME", {8, 0, "", "", "", "x"}, 1, "unknown"},
      {"FNAME", {8, kGzipFlagName, "", "n.bin", "", "x"}, 1, "n.bin"},
      {"method 7", {7, kGzipFlagName, "", "n.bin", "", "x"}, 0, ""},
  };
  for (const auto& c : cases) {
    auto l = loadFile(c.b.build());
    ASSERT_EQ(l->archive->MemberCount(), c.members) << c.what;
    if (c.members) {
      EXPECT_EQ(l->archive->MemberAt(0)->FileName, c.name) << c.what;
    }
  }
  for (const std::string other :
       {"", "plain text", "\x1F\x8B", "\x1F\x8B\x08\x08\0\0\0\0\0\x03name"}) {
    // No signature, or a header that runs past the end: no member, no error.
    auto l = loadFile(bytesOf(other));
    EXPECT_EQ(l->archive->MemberCount(), 0) << other.size();
  }
}

TEST(GzipReader, EmptyMemberExtractsToAnEmptyFile) {
  GzipBuilder b;
  auto l = loadFile(b.build());
  ASSERT_EQ(l->archive->MemberCount(), 1);
  const auto out = l->dir / "out";
  l->archive->ExtractMemberAt(0, out.string());
  ASSERT_TRUE(fs::exists(out));
  EXPECT_EQ(fs::file_size(out), 0u);
}

TEST(GzipReader, DamagedDataLeavesNoTargetAndOnlyTellsTheHook) {
  GzipBuilder b;
  b.flags = kGzipFlagName;
  b.name = "x";
  b.payload = std::string(3000, 'q');
  auto bytes = b.build();
  struct Case {
    const char* what;
    std::vector<std::byte> bytes;
  } cases[] = {
      {"truncated", std::vector<std::byte>(bytes.begin(), bytes.begin() + 1000)},
      {"bad block type", bytes},
  };
  cases[1].bytes[12] = std::byte{0x07}; // BFINAL with the reserved block type 3
  for (auto& c : cases) {
    auto l = loadFile(c.bytes);
    ASSERT_EQ(l->archive->MemberCount(), 1) << c.what;
    int failures = 0;
    l->archive->OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType,
                                           TAbErrorClass, int) { ++failures; };
    const auto out = l->dir / "out";
    test::writeFile(out, "old content");
    l->archive->ExtractMemberAt(0, out.string());
    EXPECT_FALSE(fs::exists(out)) << c.what;
    EXPECT_EQ(failures, 1) << c.what;
  }
}

TEST(GzipReader, TrailerIsNotCheckedOnExtractionButByTestMember) {
  GzipBuilder b;
  b.payload = "checked";
  auto bytes = b.build();
  bytes[bytes.size() - 8] ^= std::byte{1}; // CRC-32
  auto l = loadFile(bytes);
  const auto out = l->dir / "out";
  l->archive->ExtractMemberAt(0, out.string());
  EXPECT_EQ(textOf(test::readFile(out)), "checked");
  EXPECT_THROW(l->archive->TestMember(0), EAbGzipBadCRC);

  auto sizeBytes = b.build();
  sizeBytes[sizeBytes.size() - 4] ^= std::byte{1}; // ISIZE
  EXPECT_THROW(loadFile(sizeBytes)->archive->TestMember(0), EAbGzipBadFileSize);
  EXPECT_NO_THROW(loadFile(b.build())->archive->TestMember(0));
}

// gzip with and without a stored name, and a tarball: the GZIP reader yields the tar, which the
// TAR reader then opens, as the unpacking kernel nests them.
TEST(GzipInterop, GzipAndTarNesting) {
  if (!test::haveProgram("gzip") || !test::haveProgram("tar"))
    GTEST_SKIP() << "gzip or tar not installed";
  test::ScratchDir dir;
  // Large enough (about 1 MB) that the data spans many window slides of the decoder.
  std::string payload;
  for (int i = 0; i < 250000; ++i)
    payload += std::to_string(i * 7919 % 1000) + ",";
  test::writeFile(dir / "data.txt", payload);
  ASSERT_EQ(test::run("cd '" + dir.path().string() +
                      "' && gzip -9 -N -c data.txt > named.gz && gzip -n -c data.txt > anon.gz && "
                      "tar -czf t.tgz data.txt"),
            0);
  struct Case {
    const char* file;
    const char* name;
  } cases[] = {{"named.gz", "data.txt"}, {"anon.gz", "unknown"}};
  for (const auto& c : cases) {
    TAbGzipArchive a((dir / c.file).string());
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 1);
    EXPECT_EQ(a.MemberAt(0)->FileName, c.name);
    EXPECT_EQ(a.MemberAt(0)->UncompressedSize, payload.size());
    EXPECT_EQ(a.MemberAt(0)->CompressedSize + 10 + 8 + (std::string(c.name) == "unknown" ? 0 : 9),
              fs::file_size(dir / c.file));
    const auto out = dir / (std::string(c.file) + ".out");
    a.ExtractMemberAt(0, out.string());
    EXPECT_EQ(textOf(test::readFile(out)), payload);
    EXPECT_NO_THROW(a.TestMember(0));
  }
  TAbGzipArchive tgz((dir / "t.tgz").string());
  tgz.LoadDirectory();
  ASSERT_EQ(tgz.MemberCount(), 1);
  tgz.ExtractMemberAt(0, (dir / "t.tar").string());
  TAbTarArchive tar((dir / "t.tar").string());
  tar.LoadDirectory();
  ASSERT_EQ(tar.MemberCount(), 1);
  VectorSink sink;
  tar.ExtractMemberToStream("data.txt", sink);
  EXPECT_EQ(textOf(sink.bytes()), payload);
}

// Files of several members, as cat, pigz and bgzip make them: one output holding every member's
// bytes in order, as gzip -d writes it.
TEST(GzipInterop, MultiMemberFilesDecodeWhole) {
  if (!test::haveProgram("gzip"))
    GTEST_SKIP() << "gzip not installed";
  test::ScratchDir dir;
  std::string first, second;
  for (int i = 0; i < 40000; ++i) {
    first += std::to_string(i) + " ";
    second += std::to_string(i * 31 % 977) + ",";
  }
  test::writeFile(dir / "a.txt", first);
  test::writeFile(dir / "b.txt", second);
  test::writeFile(dir / "ab.txt", first + second);
  struct Case {
    const char* tool;
    std::string command;
  } cases[] = {
      {"gzip", "gzip -c a.txt > m.gz && gzip -1 -n -c b.txt >> m.gz"},
      {"gzip", "gzip -c a.txt > m.gz && printf '' | gzip -c >> m.gz && gzip -c b.txt >> m.gz"},
      {"pigz", "pigz -c a.txt > m.gz && pigz -c b.txt >> m.gz"},
      {"bgzip", "bgzip -c ab.txt > m.gz"}, // blocks of 64 KiB, each its own member
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    if (!test::haveProgram(c.tool)) {
      std::cout << "skipped (" << c.tool << " missing)\n";
      continue;
    }
    ASSERT_EQ(test::run("cd '" + dir.path().string() + "' && " + c.command), 0);
    TAbGzipArchive a((dir / "m.gz").string());
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 1);
    const auto out = dir / "m.out";
    a.ExtractMemberAt(0, out.string());
    EXPECT_EQ(textOf(test::readFile(out)), first + second);
    EXPECT_EQ(a.MemberAt(0)->UncompressedSize, first.size() + second.size());
    EXPECT_NO_THROW(a.TestMember(0));
    VectorSink sink;
    a.ExtractMemberToStreamAt(0, sink);
    EXPECT_EQ(textOf(sink.bytes()), first + second);
  }
}

// Files made by other producers (see the fixture manifest).
TEST(GzipInterop, ThirdPartyFiles) {
  struct Case {
    const char* file;
    const char* name;
    std::uint64_t size;   // from the last trailer
    std::uint64_t output; // what extraction writes: every member, as gzip -d writes them
    bool crcOk;
  } cases[] = {
      {"gzip/defacto2-GZIP113.GZ", "TESTDAT3.TXT", 81410, 81410, true},
      {"gzip/koni-anonymous.gz", "unknown", 100000, 100000, true},
      {"gzip/corkami-gzip.gz", "gzip.txt", 4, 4, true},
      {"gzip/commons-multiple.gz", "a", 1, 2, true}, // listed with the second member's trailer
      {"gzip/commons-members.gz", "hello1.txt", 7, 14, true},
      {"gzip/commons-members-size-0.gz", "hello-size-0-a.txt", 0, 0, true},
      {"gzip/libarchive-test_compat_gzip_1.tgz", "test-split.taraa", 168, 7168, true},
      {"gzip/libarchive-test_compat_gzip_2.tgz", "unknown", 0, 7168, true}, // trailing garbage
      {"gzip/libarchive-test_read_filter_gzip_recursive.gz", "unknown", 0, 408, false},
  };
  test::ScratchDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto path = test::fixture(c.file);
    TAbGzipArchive a(path.string());
    a.LoadDirectory();
    ASSERT_EQ(a.MemberCount(), 1);
    EXPECT_EQ(a.MemberAt(0)->FileName, c.name);
    if (c.size) {
      EXPECT_EQ(a.MemberAt(0)->UncompressedSize, c.size);
    }
    const auto out = dir / "out";
    a.ExtractMemberAt(0, out.string());
    EXPECT_EQ(fs::file_size(out), c.output);
    if (c.crcOk) {
      EXPECT_NO_THROW(a.TestMember(0));
    } else {
      EXPECT_THROW(a.TestMember(0), EAbException);
    }
  }
}

} // namespace
} // namespace kyv::archive
