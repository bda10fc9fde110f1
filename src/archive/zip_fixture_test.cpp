// ZIP files made by other people's tools (the shared fixture folder; its manifest lists every
// member's size and CRC-32 as the reference tools reported them). Each file is opened the way the
// unpacking kernel opens it: forced ZIP type, members walked by index, extracted by name.
#include "archive/zip_unzipper.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "codec/checksum.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

struct Expected {
  std::uint64_t size;
  std::uint32_t crc;
};

struct FixtureCase {
  const char* file;
  const char* password;          // empty: none supplied
  std::vector<Expected> members; // the file members in directory order (folders left out)
};

// From the fixture manifest. Reduce (methods 2-5) has no reference tool here; the manifest's
// CRCs are the ones stored in the archives.
const std::vector<FixtureCase> kCases = {
    {"zip/corkami-shrunk.zip", "", {{169, 0xB8687AD0}}},
    {"zip/commons-SHRUNK.ZIP", "", {{76, 0x393A497A}, {81, 0xD19ABF92}}},
    {"zip/ziprs-shrink.zip", "", {{1092, 0x22957A6E}}},
    {"zip/sharpcompress-Zip.shrink.zip",
     "",
     {{15498, 0x9BD160FA}, {45056, 0xCFB109C8}, {40372, 0x088814E3}}},
    {"zip/defacto2-HWSHRINK.ZIP", "", {{2009, 0xC71A6911}, {469, 0xC8DDC359}, {81410, 0xC065E9C4}}},
    {"zip/corkami-reduced1.zip", "", {{10140, 0xEE0C3B11}}},
    {"zip/corkami-reduced2.zip", "", {{10140, 0xEE0C3B11}}},
    {"zip/corkami-reduced3.zip", "", {{10140, 0xEE0C3B11}}},
    {"zip/corkami-reduced4.zip", "", {{10140, 0xEE0C3B11}}},
    {"zip/sharpcompress-Zip.reduce1.zip",
     "",
     {{15498, 0x9BD160FA}, {45056, 0xCFB109C8}, {40372, 0x088814E3}}},
    {"zip/sharpcompress-Zip.reduce2.zip",
     "",
     {{15498, 0x9BD160FA}, {45056, 0xCFB109C8}, {40372, 0x088814E3}}},
    {"zip/sharpcompress-Zip.reduce3.zip",
     "",
     {{15498, 0x9BD160FA}, {45056, 0xCFB109C8}, {40372, 0x088814E3}}},
    {"zip/sharpcompress-Zip.reduce4.zip",
     "",
     {{15498, 0x9BD160FA}, {45056, 0xCFB109C8}, {40372, 0x088814E3}}},
    {"zip/ziprs-reduce.zip", "", {{1092, 0x22957A6E}}},
    {"zip/defacto2-HWREDUCE.ZIP", "", {{2009, 0xC71A6911}, {469, 0xC8DDC359}, {81410, 0xC065E9C4}}},
    {"zip/corkami-implode.zip", "", {{4701, 0x6E20E127}, {800, 0x7B0DB6CF}, {2916, 0x2011F29D}}},
    {"zip/corkami-implodeV3.zip",
     "",
     {{21473, 0x03975389}, {25811, 0x4F35B70D}, {9366, 0xC917B5C2}, {140355, 0x1046156F}}},
    {"zip/commons-imploding-4Kdict-2trees.zip", "", {{818, 0x3222D8C7}}},
    {"zip/commons-imploding-8Kdict-3trees.zip", "", {{11560, 0x495FC599}}},
    {"zip/sharpcompress-Zip.implode.zip",
     "",
     {{45056, 0xCFB109C8}, {40372, 0x088814E3}, {15498, 0x9BD160FA}}},
    {"zip/ziprs-implode.zip", "", {{1092, 0x22957A6E}}},
    {"zip/defacto2-IMPLODE.ZIP",
     "",
     {{750054, 0x64C6E850},
      {2646, 0x195A28A8},
      {16461, 0x134961CD},
      {29530, 0xE63058F8},
      {4163, 0xDFAFCE04}}},
    {"zip/corkami-deflate64.zip", "", {{138, 0x1E93B387}}},
    {"zip/commons-COMPRESS-380.zip", "", {{3072, 0x2A604090}}},
    {"zip/commons-COMPRESS-380-dd.zip",
     "",
     {{25, 0xEE027FB2}, {82, 0xCE356C1C}, {610, 0x0F54EACB}, {424, 0xF344BD4B}, {389, 0x335AE440}}},
    {"zip/commons-lorem-ipsum-deflate64.zip", "", {{144060, 0xB9034F7E}}},
    {"zip/sharpcompress-Zip.deflate64.zip",
     "",
     {{45056, 0xCFB109C8}, {40372, 0x088814E3}, {15498, 0x9BD160FA}}},
    {"zip/corkami-corkami.zip", "", {{13, 0x7D14DDDD}}},
    {"zip/libarchive-test_read_format_zip_traditional_encryption_data.zip",
     "12345678",
     {{495, 0xA4D8FD47}, {495, 0xB493C7EB}}},
    {"zip/sharpcompress-Zip.deflate.pkware.zip", "12345678", {{19, 0x0AEC8A95}}},
    {"zip/recext-TestDataEncryptedZipCrypto.zip",
     "TestData",
     {{4148, 0x6003899D}, {4148, 0x6003899D}, {4148, 0x6003899D}}},
    {"zip/koni-encrypted_zipcrypto_deflate.zip", "secret", {{12, 0xCE09402E}, {2600, 0xE6CE7460}}},
    {"bombs/recext-droste.zip", "", {{13760, 0xB6B95443}, {28809, 0xF005BA11}}},
};

std::uint32_t crcOf(const std::vector<std::byte>& bytes) { return codec::crc32Update(0, bytes); }

TEST(ZipFixtures, EveryMemberMatchesItsReferenceSizeAndCrc) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.file);
    const auto path = test::fixture(c.file);
    ASSERT_FALSE(path.empty());
    TAbUnZipper unzipper;
    unzipper.ForceType = true;
    unzipper.ArchiveType = TAbArchiveType::atZip;
    unzipper.Password = c.password;
    int failures = 0;
    unzipper.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType, TAbErrorClass,
                                        int) { ++failures; };
    unzipper.OpenArchive(path.string());
    std::size_t k = 0;
    for (int i = 0; i < unzipper.MemberCount(); ++i) {
      const TAbArchiveItem& item = *unzipper.MemberAt(i);
      if (item.IsDirectory())
        continue;
      ASSERT_LT(k, c.members.size());
      VectorSink sink;
      unzipper.ExtractMemberToStream(item.FileName, sink);
      EXPECT_EQ(sink.bytes().size(), c.members[k].size) << item.FileName;
      EXPECT_EQ(crcOf(sink.bytes()), c.members[k].crc) << item.FileName;
      ++k;
    }
    EXPECT_EQ(k, c.members.size());
    EXPECT_EQ(failures, 0);
  }
}

// Members this reader cannot or must not deliver: nothing is written, and no error reaches the
// caller; the failure hook, when set, hears of each one.
TEST(ZipFixtures, UnsupportedMembersWriteNothing) {
  struct Case {
    const char* file;
    int code; // the library code the failure hook hears
  };
  const Case cases[] = {
      {"zip/commons-moby.zip", AbCode::ZipInvalidMethod},               // method 7
      {"zip/sharpcompress-Zip.none.encrypted.zip", AbCode::ZipVersion}, // AES, version 5.1
      {"zip/libarchive-test_read_format_zip_encryption_data.zip",
       AbCode::ZipVersion},                                            // strong encryption
      {"zip/sharpcompress-zipcrypto.zip", AbCode::ZipInvalidPassword}, // no password given
      {"zip/koni-encrypted_zipcrypto_deflate.zip", AbCode::ZipInvalidPassword},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    TAbUnZipper unzipper;
    unzipper.ForceType = true;
    unzipper.ArchiveType = TAbArchiveType::atZip;
    unzipper.OpenArchive(test::fixture(c.file).string());
    ASSERT_GT(unzipper.MemberCount(), 0);
    for (int i = 0; i < unzipper.MemberCount(); ++i) {
      VectorSink quiet;
      unzipper.ExtractMemberToStream(unzipper.MemberAt(i)->FileName, quiet);
      EXPECT_TRUE(quiet.bytes().empty());
    }
    std::vector<int> codes;
    unzipper.OnProcessItemFailure = [&](TAbArchive&, TAbArchiveItem&, TAbProcessType,
                                        TAbErrorClass cls, int code) {
      EXPECT_EQ(cls, TAbErrorClass::ecLibrary);
      codes.push_back(code);
    };
    unzipper.CloseArchive();
    unzipper.OpenArchive(test::fixture(c.file).string());
    for (int i = 0; i < unzipper.MemberCount(); ++i) {
      VectorSink sink;
      unzipper.ExtractMemberToStream(unzipper.MemberAt(i)->FileName, sink);
    }
    ASSERT_FALSE(codes.empty());
    for (int code : codes)
      EXPECT_EQ(code, c.code);
  }
}

TEST(ZipFixtures, DuplicateNamesExtractTheLaterMember) {
  KYV_REQUIRE_FIXTURE(path, "zip/corkami-dual.zip");
  TAbUnZipper unzipper;
  unzipper.ForceType = true;
  unzipper.ArchiveType = TAbArchiveType::atZip;
  unzipper.OpenArchive(path.string());
  ASSERT_EQ(unzipper.MemberCount(), 2);
  for (int i = 0; i < 2; ++i) {
    VectorSink sink;
    unzipper.ExtractMemberToStream(unzipper.MemberAt(i)->FileName, sink);
    EXPECT_EQ(sink.bytes().size(), 10u);
    EXPECT_EQ(crcOf(sink.bytes()), 0xB599615Bu);
  }
}

// The overlapping-member bomb lists all its members; extraction into a sink with a budget stops
// when the sink refuses, and the archive stays usable.
TEST(ZipFixtures, BombMembersStopAtTheSinkBudget) {
  KYV_REQUIRE_FIXTURE(path, "bombs/recext-zbsm.zip");
  TAbUnZipper unzipper;
  unzipper.ForceType = true;
  unzipper.ArchiveType = TAbArchiveType::atZip;
  unzipper.OpenArchive(path.string());
  EXPECT_EQ(unzipper.MemberCount(), 250);
  EXPECT_EQ(unzipper.MemberAt(0)->UncompressedSize, 21849182u);
  VectorSink limited(1 << 20);
  unzipper.ExtractMemberToStream("0", limited);
  EXPECT_LE(limited.bytes().size(), std::size_t{1} << 20);
  EXPECT_EQ(unzipper.Archive()->Status(), TAbArchiveStatus::asIdle);
}

// Damaged or hostile files: opening either fails with a library error or yields members whose
// extraction fails quietly; nothing crashes or hangs.
TEST(ZipFixtures, DamagedFilesFailInAnOrderlyWay) {
  for (const char* file : {"zip/ziprs-raw_deflate64_index_out_of_bounds.zip",
                           "zip/libarchive-test_read_format_zip_encryption_header.zip",
                           "zip/corkami-volume.zip.001", "zip/corkami-volume.zip.002"}) {
    SCOPED_TRACE(file);
    TAbUnZipper unzipper;
    unzipper.ForceType = true;
    unzipper.ArchiveType = TAbArchiveType::atZip;
    try {
      unzipper.OpenArchive(test::fixture(file).string());
    } catch (const EAbException&) {
      continue;
    }
    for (int i = 0; i < unzipper.MemberCount(); ++i) {
      const TAbArchiveItem& item = *unzipper.MemberAt(i);
      VectorSink sink(1 << 20);
      unzipper.ExtractMemberToStream(item.FileName, sink);
      EXPECT_LE(sink.bytes().size(), item.UncompressedSize);
    }
  }
}

} // namespace
} // namespace kyv::archive

namespace kyv::archive {
namespace {

// Every seed of the fuzz corpus (and the small fixture files, when present) with random bytes
// overwritten: the reader may refuse or extract less (or, for damaged Deflate data, more than the
// directory says: the caller's size comparison drops such members), but must neither crash nor
// hang, and every failure stays inside the member.
TEST(ZipCorruption, DamagedArchivesEndInAnOrderlyWay) {
  std::vector<std::filesystem::path> files;
  const auto seeds = test::sourceDir() / "fuzz" / "archive" / "corpus" / "zip_fuzzer";
  for (const auto& entry : std::filesystem::directory_iterator(seeds))
    files.push_back(entry.path());
  for (const auto& entry : std::filesystem::directory_iterator(test::fixturesDir() / "zip"))
    if (entry.file_size() < 8000)
      files.push_back(entry.path());
  ASSERT_FALSE(files.empty());

  std::uint32_t seed = 2024;
  auto next = [&] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  for (const auto& file : files) {
    SCOPED_TRACE(file.string());
    const auto original = test::readFile(file);
    for (int round = 0; round < 40; ++round) {
      auto bytes = original;
      const int hits = 1 + static_cast<int>(next() % 4);
      for (int h = 0; h < hits && !bytes.empty(); ++h)
        bytes[next() % bytes.size()] = std::byte(next() & 0xFF);
      TAbZipArchive archive(std::make_unique<MemorySource>(bytes), "damaged.zip");
      archive.Password = "pw";
      try {
        archive.LoadDirectory();
      } catch (const EAbException&) {
        continue;
      }
      for (int i = 0; i < archive.MemberCount(); ++i) {
        VectorSink sink(1 << 22);
        archive.ExtractMemberToStream(archive.MemberAt(i)->FileName, sink);
        EXPECT_EQ(archive.Status(), TAbArchiveStatus::asIdle);
      }
    }
  }
}

} // namespace
} // namespace kyv::archive
