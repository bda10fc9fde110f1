// The reader against real archives from other projects' test suites (tests/fixtures/rar,
// described in its MANIFEST.md): every intact member must come out with the size and CRC-32 the
// reference listing gives, damaged and encrypted ones must fail with the right status, and no
// input, however mangled, may crash or hang the reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "test_support.h"
#include "codec/checksum.h"
#include "unrar/rar_archive.h"

namespace kyv::unrar {
namespace {

// Keeps only the size and CRC-32 of what is written, so 240 MB members need no memory.
class CrcSink final : public ByteSink {
public:
  bool write(std::span<const std::byte> data) override {
    crc = codec::crc32Update(crc, data);
    size += data.size();
    return true;
  }
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
};

struct Outcome {
  RarStatus status;
  std::uint64_t size;
  std::uint32_t crc;
};

// Opens a fixture and extracts every member in order; empty map when the archive did not open.
std::map<std::string, Outcome> extractAll(const std::filesystem::path& file,
                                          RarStatus* openStatus = nullptr) {
  const auto bytes = test::readFile(file);
  MemorySource src(bytes);
  RarArchive archive(src);
  std::map<std::string, Outcome> out;
  const RarStatus st = archive.open();
  if (openStatus != nullptr)
    *openStatus = st;
  if (st != RarStatus::Ok)
    return out;
  RarEntry e;
  while (archive.next(e) == RarStatus::Ok) {
    CrcSink sink;
    const RarStatus r = archive.extract(&sink);
    out.emplace(e.name, Outcome{r, sink.size, sink.crc});
  }
  return out;
}

struct Listed {
  const char* file;
  const char* member;
  std::uint64_t size;
  std::uint32_t crc;
};

// Reference listing (size and CRC-32 per member) of the archives whose members must extract.
const Listed kIntact[] = {
    {"junrar-BoatModernEnglish-regular-unpack15-dos.rar", "BOATMO~1.WAV", 56464, 0x82D2ED89},
    {"junrar-BoatModernEnglish-regular-unpack15-dos.rar", "LICENSE.TXT", 107, 0x8EAF20C4},
    {"rarfile-rar15-comment.rar", "FILE1.TXT", 7, 0xE27F07A9},
    {"rarfile-rar15-comment.rar", "FILE2.TXT", 8, 0x3C4306F7},
    {"corkami-small4.rar", "n", 0, 0x00000000},
    {"koni-rar2_lz.rar", "PROSE.TXT", 15361, 0x55F7C00E},
    {"koni-rar2_solid.rar", "REPEAT.TXT", 128200, 0x8B717527},
    {"defacto2-RAR250.RAR", "TESTDAT3.TXT", 81410, 0xC065E9C4},
    {"koni-rar2_audio.rar", "AUDS.RAW", 3000, 0xA9D6FF49},
    {"junrar-BoatModernEnglish-audio-text-unpack20.rar", "BoatModernEnglish.wav", 56464,
     0x82D2ED89},
    {"libarchive-test_read_format_rar.rar", "test.txt", 20, 0xBEC8A242},
    {"libarchive-test_read_format_rar.rar", "testdir/test.txt", 20, 0xBEC8A242},
    {"libarchive-test_read_format_rar_windows.rar", "testshortcut.lnk", 441, 0x5B5CD737},
    {"libarchive-test_read_format_rar_unicode.rar", "表だよ/ファイル", 54, 0x5DFB8225},
    {"libarchive-test_read_format_rar_compress_normal.rar", "LibarchiveAddingTest.html", 20111,
     0x5E05A663},
    {"libarchive-test_read_format_rar_compress_best.rar", "LibarchiveAddingTest.html", 20111,
     0x5E05A663},
    {"libarchive-test_read_format_rar_multi_lzss_blocks.rar", "multi_lzss_blocks_test.txt",
     20131111, 0x6BA21570},
    {"libarchive-test_read_format_rar_filter.rar", "bsdcat.exe", 204288, 0x4DB10349},
    {"libarchive-test_read_format_rar_ppmd_lzss_conversion.rar", "ppmd_lzss_conversion_test.txt",
     241647978, 0xF72B4477},
    {"koni-filter_e8.rar", "x86call.bin", 12016, 0x96B45AE6},
    {"koni-filter_delta.rar", "grad.bmp", 27702, 0x4C6A1D36},
    {"koni-filter_rgb.rar", "rgbimg.bmp", 61494, 0x3CEBFC83},
    {"koni-filter_audio.rar", "a_audio.raw", 9600, 0xB0D2F546},
    {"junrar-BoatModernEnglish-audio-text-unpack30.rar", "BoatModernEnglish.wav", 56464,
     0x82D2ED89},
    {"junrar-BoatModernEnglish-audio-text-unpack30.rar", "LICENSE.txt", 107, 0x8EAF20C4},
    {"koni-ppmd_rar4.rar", "ppmd_in.txt", 18771, 0xDFB9E4EF},
    {"koni-ppmd_switch.rar", "switch.dat", 73589, 0x81FB0EA6},
    {"koni-solid_ppmd.rar", "s1.txt", 2300, 0xE22D5903},
    {"koni-solid_ppmd.rar", "s3.txt", 2900, 0x0881A25D},
    {"koni-solid_rar4.rar", "solidbig/part0.txt", 3384, 0x1790C7FB},
    {"koni-solid_rar4.rar", "solidbig/part2.txt", 3341, 0x7E88E02F},
    {"junrar-method36.rar", "foo/bar.txt", 4, 0xCC7B39E1},
    {"ssokolow-testfile.rar3.rr.rar", "testfile.txt", 12, 0x6EC18FFE},
    {"ssokolow-testfile.rar3.av.rar", "testfile.txt", 12, 0x6EC18FFE},
    {"ssokolow-testfile.rar3.locked.rar", "testfile.txt", 12, 0x6EC18FFE},
    {"ssokolow-testfile.rar3.wincon.sfx.exe", "acknow.txt", 4189, 0x4D56C79D},
    {"rarfile-rar3-subdirs.rar", "sub/üȵĩöḋè/file.txt", 5, 0x2FEC89C1},
    {"sharpcompress-Rar.jpeg.jpg", "exe/test.exe", 45056, 0xCFB109C8},
    {"sharpcompress-Rar.jpeg.jpg", "тест.txt", 15498, 0x9BD160FA},
    {"libarchive-test_read_format_rar_noeof.rar", "test.txt", 20, 0xBEC8A242},
    {"libarchive-test_read_format_rar_subblock.rar", "test.txt", 20, 0xBEC8A242},
    {"libarchive-test_read_format_rar5_stored.rar", "helloworld.txt", 29, 0x95A043B4},
    {"libarchive-test_read_format_rar5_compressed.rar", "test.bin", 1200, 0x7CCA70CD},
    {"libarchive-test_read_format_rar5_multiple_files.rar", "test4.bin", 4096, 0x10C43ED4},
    {"libarchive-test_read_format_rar5_multiple_files_solid.rar", "test4.bin", 4096, 0x10C43ED4},
    {"libarchive-test_read_format_rar5_solid.rar", "test6.bin", 4096, 0x36A448FF},
    {"libarchive-test_read_format_rar5_unicode.rar", "👋🌎.txt", 13, 0xEBE6C6E6},
    // Checked against its stored BLAKE2sp hash; the CRC-32 is that of the same text elsewhere.
    {"libarchive-test_read_format_rar5_blake2.rar", "cebula.txt", 814, 0x7E5EC49E},
    {"libarchive-test_read_format_rar5_arm.rar", "elf-Linux-ARMv7-ls", 90808, 0x886F91EB},
    {"junrar-rar5-e8.rar", "e8.bin", 196608, 0x06F281C1},
    {"junrar-rar5-e8e9.rar", "e8e9.bin", 196608, 0x7725AB9B},
    {"rarfile-rar5-quick-open.rar", "stest2.txt", 2048, 0xC5B7E6A2},
    // File copies and hard links: the listing shows no CRC of their own; their bytes are those
    // of the member they refer to (stest1.txt, file.txt).
    {"rarfile-rar5-dups.rar", "stest9.txt", 2048, 0xC5B7E6A2},
    {"libarchive-test_read_format_rar5_hardlink.rar", "hardlink.txt", 5, 0x7D931721},
    {"ssokolow-testfile.rar5.rr.rar", "testfile.txt", 12, 0x6EC18FFE},
    {"libarchive-test_read_format_rar5_win32.rar", "test5.bin", 4096, 0xB9D155F2},
    {"libarchive-test_read_format_rar5_multiarchive_solid.vol01.rar", "test6.bin", 4096,
     0x36A448FF},
    {"libarchive-test_read_format_rar5_encrypted.rar", "c.txt", 18, 0x949A3D35},
    {"libarchive-test_read_format_rar4_encrypted.rar", "a.txt", 18, 0xEE5A6E55},
    {"libarchive-test_read_format_rar_encryption_partially.rar", "bar.txt", 16, 0xCD90E2BE},
};

TEST(RarFixtures, IntactMembersExtractWithListedSizeAndCrc) {
  std::map<std::string, std::map<std::string, Outcome>> cache;
  for (const Listed& l : kIntact) {
    SCOPED_TRACE(std::string(l.file) + " : " + l.member);
    const auto path = test::fixture(std::string("rar/") + l.file);
    ASSERT_FALSE(path.empty());
    auto it = cache.find(l.file);
    if (it == cache.end())
      it = cache.emplace(l.file, extractAll(path)).first;
    const auto m = it->second.find(l.member);
    ASSERT_NE(m, it->second.end()) << "member not listed";
    EXPECT_EQ(m->second.status, RarStatus::Ok);
    EXPECT_EQ(m->second.size, l.size);
    EXPECT_EQ(m->second.crc, l.crc);
  }
}

struct Refused {
  const char* file;
  const char* member; // null: the archive itself must not open
  RarStatus status;
};

// Damaged, encrypted and unsupported inputs, with the status each must end in.
const Refused kRefused[] = {
    {"corkami-rar14.rar", nullptr, RarStatus::UnknownFormat},
    {"junrar-rar14-solid.rar", nullptr, RarStatus::UnknownFormat},
    {"libarchive-test_read_format_rar_encryption_header.rar", nullptr, RarStatus::MissingPassword},
    {"koni-hp_rar4.rar", nullptr, RarStatus::MissingPassword},
    {"rarfile-rar3-comment-hpsw.rar", nullptr, RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar5_encrypted_filenames.rar", nullptr,
     RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar_encryption_data.rar", "foo.txt", RarStatus::MissingPassword},
    {"junrar-rar20-password-compressed.rar", "SECRET.TXT", RarStatus::MissingPassword},
    {"junrar-rar15-password-compressed.rar", "SECRET.TXT", RarStatus::MissingPassword},
    {"rarfile-rar202-comment-psw.rar", "FILE2.TXT", RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar4_encrypted.rar", "b.txt", RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar4_solid_encrypted.rar", "d.txt", RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar5_encrypted.rar", "d.txt", RarStatus::MissingPassword},
    {"libarchive-test_read_format_rar5_solid_encrypted.rar", "a.txt", RarStatus::MissingPassword},
    {"junrar-void-dist-v29.rar", "void29", RarStatus::BadData},
    {"libarchive-test_read_format_rar5_bad_tables.rar", "bad_tables.txt", RarStatus::BadData},
    {"libarchive-test_read_format_rar5_distance_overflow.rar", nullptr, RarStatus::BadArchive},
    {"libarchive-test_read_format_rar_ppmd_use_after_free.rar", nullptr, RarStatus::BadArchive},
    {"sharpcompress-Rar.malformed_512byte.rar", "dist/files/bin/res/common.pak",
     RarStatus::BadData},
    {"junrar-as-vm-1-trigger.rar", "AS_VM_1.BIN", RarStatus::BadData},
    {"junrar-audio-filter-noncanonical.rar", "BoatModernEnglish.wav", RarStatus::BadData},
    {"junrar-hostile-ppm-decodechar.rar", "final_payload.txt", RarStatus::BadData},
    {"libarchive-test_read_format_rar_invalid1.rar", "test", RarStatus::BadData},
    // The rest of this member is in the next volume, which is never opened.
    {"libarchive-test_read_format_rar5_multiarchive_solid.vol01.rar", "elf-Linux-ARMv7-ls",
     RarStatus::OpenError},
    {"sharpcompress-Rar4.multi.vol01.rar", "exe/test.exe", RarStatus::OpenError},
};

TEST(RarFixtures, DamagedAndEncryptedInputsFailWithTheirStatus) {
  for (const Refused& r : kRefused) {
    SCOPED_TRACE(r.file);
    const auto path = test::fixture(std::string("rar/") + r.file);
    ASSERT_FALSE(path.empty());
    RarStatus open = RarStatus::Ok;
    const auto members = extractAll(path, &open);
    if (r.member == nullptr) {
      EXPECT_EQ(open, r.status);
      continue;
    }
    const auto m = members.find(r.member);
    ASSERT_NE(m, members.end()) << r.member;
    EXPECT_EQ(m->second.status, r.status) << r.member;
  }
}

// Every fixture, cut short and corrupted at random: the reader must come back every time.
TEST(RarFixtures, MangledInputsNeverCrash) {
  std::mt19937 rng(12345);
  for (const auto& entry : std::filesystem::directory_iterator(test::fixturesDir() / "rar")) {
    auto bytes = test::readFile(entry.path());
    if (bytes.size() > 256 * 1024)
      continue;
    SCOPED_TRACE(entry.path().filename().string());
    for (int round = 0; round < 24; ++round) {
      std::vector<std::byte> m(
          bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(rng() % (bytes.size() + 1)));
      if (round % 2 == 1)
        m = bytes;
      for (int k = 0; k < 1 + round % 5 && !m.empty(); ++k)
        m[rng() % m.size()] = static_cast<std::byte>(rng());
      MemorySource src(m);
      RarArchive archive(src);
      if (archive.open() != RarStatus::Ok)
        continue;
      RarEntry e;
      for (int n = 0; n < 1000 && archive.next(e) == RarStatus::Ok; ++n) {
        VectorSink sink(1u << 24);
        (void)archive.extract(&sink);
        EXPECT_LE(sink.bytes().size(), 1u << 24);
      }
    }
  }
}

} // namespace
} // namespace kyv::unrar

namespace kyv::unrar {
namespace {

// The samples in testdata/ come from make_rar_samples.py (a minimal encoder of ours, checked
// against two independent extractors when it was written): stored and compressed members of
// both formats, so the main paths are covered without the shared fixtures.
std::vector<std::byte> sample(const char* name) {
  return test::readFile(test::sourceDir() / "src/unrar/testdata" / name);
}

std::string abcText() {
  std::string s;
  for (int i = 0; i < 40; ++i)
    s += "abc";
  return s + "\n";
}

TEST(RarSamples, StoredAndCompressedMembersOfBothFormats) {
  const struct {
    const char* file;
    std::string text;
  } cases[] = {{"stored4.rar", "hello, world\n"},
               {"stored5.rar", "hello, world\n"},
               {"lz29.rar", abcText()},
               {"lz5.rar", abcText()},
               {"blake5.rar", abcText()}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const auto bytes = sample(c.file);
    MemorySource src(bytes);
    RarArchive archive(src);
    ASSERT_EQ(archive.open(), RarStatus::Ok);
    RarEntry e;
    ASSERT_EQ(archive.next(e), RarStatus::Ok);
    VectorSink sink;
    EXPECT_EQ(archive.extract(&sink), RarStatus::Ok);
    EXPECT_EQ(test::textOf(sink.bytes()), c.text);
    EXPECT_EQ(archive.next(e), RarStatus::End);
  }
}

TEST(RarSamples, DamageIsReportedNotDelivered) {
  // A flipped bit in the packed data: the CRC-32 check catches what the decoder lets through.
  for (const char* file : {"lz29.rar", "lz5.rar"}) {
    SCOPED_TRACE(file);
    auto bytes = sample(file);
    bytes[bytes.size() - 30] ^= std::byte{0x10};
    MemorySource src(bytes);
    RarArchive archive(src);
    ASSERT_EQ(archive.open(), RarStatus::Ok);
    RarEntry e;
    ASSERT_EQ(archive.next(e), RarStatus::Ok);
    VectorSink sink;
    EXPECT_EQ(archive.extract(&sink), RarStatus::BadData);
  }
  // A member checked by BLAKE2sp instead of CRC-32: one changed byte of its stored text.
  {
    auto b = sample("blake5.rar");
    b[b.size() - 8 - 2] ^= std::byte{0x01}; // just before the newline and the 8-byte end block
    MemorySource src(b);
    RarArchive archive(src);
    ASSERT_EQ(archive.open(), RarStatus::Ok);
    RarEntry e;
    ASSERT_EQ(archive.next(e), RarStatus::Ok);
    EXPECT_TRUE(e.blake2);
    EXPECT_FALSE(e.hasCrc);
    VectorSink sink;
    EXPECT_EQ(archive.extract(&sink), RarStatus::BadData);
  }
  // A RAR 5 file header whose CRC does not match ends the archive as damaged.
  auto bytes = sample("stored5.rar");
  bytes[8 + 4 + 6 + 6] ^= std::byte{1}; // inside the file header, after the archive header
  MemorySource src(bytes);
  RarArchive archive(src);
  ASSERT_EQ(archive.open(), RarStatus::Ok);
  RarEntry e;
  EXPECT_EQ(archive.next(e), RarStatus::BadData);
  // Cut short anywhere before the 8-byte end block: the member can never come out whole.
  const auto whole = sample("lz5.rar");
  for (std::size_t n = 0; n + 8 < whole.size(); ++n) {
    MemorySource cut(std::span<const std::byte>(whole).first(n));
    RarArchive a(cut);
    if (a.open() != RarStatus::Ok)
      continue;
    while (a.next(e) == RarStatus::Ok) {
      VectorSink sink;
      EXPECT_NE(a.extract(&sink), RarStatus::Ok) << n;
    }
  }
}

} // namespace
} // namespace kyv::unrar
