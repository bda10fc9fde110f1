// The archive extractors as the scan kernel runs them: which members are delivered, under which
// names and with which bytes, for the cases where a name does not identify a member.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "cab_builder.h"
#include "chm_builder.h"
#include "cpio_builder.h"
#include "dos_archive_builder.h"
#include "platform/file.h"
#include "platform/system.h"
#include "sevenzip_builder.h"
#include "test_support.h"
#include "unpack/decompress.h"
#include "unpack_fixture.h"
#include "zip_builder.h"

namespace kyv::unpack {
namespace {

class Extractors : public test::UnpackFixture {
protected:
  Extractors() : UnpackFixture(4096) {}
};

#ifndef _WIN32
// Attempts to write past the file size limit a test sets (SIGXFSZ, raised on each one).
volatile std::sig_atomic_t gTooLarge = 0;
extern "C" void onTooLarge(int) { gTooLarge = 1; }

// Runs body with every file of the process limited to limit bytes; true when something tried
// to write past it.
template <typename Body> bool triedToWritePast(std::uint64_t limit, Body body) {
  rlimit old{};
  if (getrlimit(RLIMIT_FSIZE, &old) != 0)
    return true;
  gTooLarge = 0;
  const auto oldHandler = std::signal(SIGXFSZ, onTooLarge);
  rlimit small = old;
  small.rlim_cur = limit;
  setrlimit(RLIMIT_FSIZE, &small);
  body();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  return gTooLarge != 0;
}
#endif

TEST_F(Extractors, ZipMembersOfOneNameAreEachDeliveredWithTheirOwnBytes) {
  const auto zip = dir / "twice.zip";
  test::writeFile(zip, test::buildStoredZip({{"same.txt", test::bytesOf("the first")},
                                             {"other.txt", test::bytesOf("between")},
                                             {"SAME.TXT", test::bytesOf("the second")}}));
  unpack(zip);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].name, "same.txt");
  EXPECT_EQ(seen[0].content, "the first");
  EXPECT_EQ(seen[1].content, "between");
  EXPECT_EQ(seen[2].name, "SAME.TXT");
  EXPECT_EQ(seen[2].content, "the second");
  EXPECT_TRUE(leftovers().empty());
}

// A member that the scan's budget cuts off is handed on as far as it was written, so its start
// is scanned; nothing after it is unpacked.
TEST_F(Extractors, AMemberCutByTheBudgetIsDeliveredAsFarAsWritten) {
  const auto zip = dir / "big.zip";
  test::writeFile(
      zip, test::buildStoredZip({{"big.bin", test::bytesOf("START" + std::string(100000, 'b'))},
                                 {"after.txt", test::bytesOf("after")}}));
  // Inside a scan that has used all but 10 KiB of its budget.
  const TKYVArcInfoArray chain{{"outer", "ZIP", "big.zip", zip.string()}};
  ASSERT_TRUE(unpacker.ChargeBytes(kMaxBytesPerScan - 10 * 1024));
  unpack(zip, chain);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "big.bin");
  EXPECT_EQ(seen[0].content.substr(0, 5), "START");
  EXPECT_GT(seen[0].content.size(), 0u);
  EXPECT_LE(seen[0].content.size(), 10u * 1024);
  EXPECT_TRUE(unpacker.BudgetExhausted());
  EXPECT_TRUE(leftovers().empty());
}

// A cabinet's member that declares more than is left of the budget is never started: the
// temporary files of the scan hold at most the budget plus one data block at any time, and
// what came before it is delivered whole.
// Compiled-help files inside compiled-help files: each level decodes its section as the kernel
// takes its items, so the inner file is unpacked in the middle of the outer section's stream and
// the outer one carries on after it. The outer section declares 768 MiB for its few bytes.
TEST_F(Extractors, NestedChmsDecodeSideBySideWhateverTheirSectionsDeclare) {
  test::ChmBuilder inner;
  inner.compressedFiles = {{"/payload.exe", "MZ payload"}, {"/pad.bin", std::string(70000, 'p')}};
  test::ChmBuilder outer;
  outer.compressedFiles = {{"/inner.chm", test::textOf(inner.build())},
                           {"/after.txt", "after the inner file"}};
  outer.uncompressedLengthDelta = 768u << 20;
  const auto chm = dir / "outer.chm";
  test::writeFile(chm, outer.build());
  unpacker.SetOnItem([this](const TKYVArcInfoArray& chain) {
    const auto& link = chain.back();
    const std::string content = test::textOf(test::readFile(link.ItemFile));
    seen.push_back({link.ArcType, link.ItemName,
                    content.starts_with("ITSF") ? "<chm>" : content.substr(0, 20)});
    if (content.starts_with("ITSF"))
      unpack(link.ItemFile, chain);
    return true;
  });
  unpack(chm);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].name, "/inner.chm");
  EXPECT_EQ(seen[1].name, "/payload.exe");
  EXPECT_EQ(seen[1].content, "MZ payload");
  EXPECT_EQ(seen[2].content, std::string(20, 'p'));
  EXPECT_EQ(seen[3].name, "/after.txt");
  EXPECT_EQ(seen[3].content, "after the inner file");
  EXPECT_TRUE(gaps.empty());
  EXPECT_TRUE(leftovers().empty());
}

// The bytes a section decodes to reach an item count against the budget like written ones: an
// item behind 60 000 bytes of internal entries is reached with a budget of 100 000 bytes, and
// with one of 50 000 the limit is recorded and nothing is delivered.
TEST_F(Extractors, ChmBytesDecodedBetweenItemsCountAgainstTheBudget) {
  test::ChmBuilder b;
  b.compressedFiles = {{"::Internal/skipped", std::string(60000, 'i')},
                       {"/payload.txt", "payload"}};
  const auto chm = dir / "gap.chm";
  test::writeFile(chm, b.build());
  for (const std::uint64_t budget : {100000u, 50000u}) {
    seen.clear();
    gaps.clear();
    unpacker.Limits.MaxScanSize = budget;
    unpack(chm);
    if (budget == 100000) {
      ASSERT_EQ(seen.size(), 1u);
      EXPECT_EQ(seen[0].content, "payload");
      EXPECT_TRUE(gaps.empty());
    } else {
      EXPECT_TRUE(seen.empty());
      ASSERT_EQ(gaps.size(), 1u);
      EXPECT_EQ(gaps[0].Kind, TGapKind::MaxScanSize);
    }
  }
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(Extractors, CabMembersNeverPassTheBudgetOnDisk) {
  constexpr std::uint64_t kBudget = 1 << 20;
  unpacker.Limits.MaxScanSize = kBudget;
  test::CabBuilder b;
  b.mszip = true;
  b.files = {{"first.txt", "delivered whole"},
             {"padding.bin", std::string(4 << 20, '\0')},
             {"after.txt", "never reached"}};
  const auto cab = dir / "padded.cab";
  test::writeFile(cab, b.build());
#ifndef _WIN32
  constexpr std::uint64_t kOneBlock = 32768;
  EXPECT_FALSE(triedToWritePast(kBudget + kOneBlock, [&] { unpack(cab); }));
#else
  unpack(cab);
#endif
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "first.txt");
  EXPECT_EQ(seen[0].content, "delivered whole");
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::MaxScanSize);
  EXPECT_TRUE(unpacker.BudgetExhausted());
  EXPECT_TRUE(leftovers().empty());
}

// Deflate64 (fixed codes) of a literal, then `zeros` zero bytes as matches of distance 1 of up
// to 65538 bytes each: ten gigabytes in about 600 KB.
std::vector<std::uint8_t> deflate64Zeros(const std::string& literal, std::uint64_t zeros) {
  std::vector<std::uint8_t> out;
  std::uint64_t acc = 0;
  int bits = 0;
  auto put = [&](std::uint32_t value, int n) { // LSB first
    acc |= std::uint64_t{value} << bits;
    bits += n;
    while (bits >= 8) {
      out.push_back(static_cast<std::uint8_t>(acc));
      acc >>= 8;
      bits -= 8;
    }
  };
  auto code = [&](std::uint32_t c, int n) { // Huffman codes go most significant bit first
    for (int k = n - 1; k >= 0; --k)
      put((c >> k) & 1, 1);
  };
  put(1, 1); // BFINAL
  put(1, 2); // BTYPE 01: fixed codes
  for (const char ch : literal + std::string(1, '\0'))
    code(0x30 + static_cast<unsigned char>(ch), 8); // literals 0-143: 00110000 + value
  zeros -= 1;
  while (zeros > 0) {
    const std::uint64_t len = std::min<std::uint64_t>(zeros, 65538);
    if (len < 3) {
      for (std::uint64_t k = 0; k < len; ++k)
        code(0x30, 8);
      break;
    }
    code(0xC5, 8);                                // symbol 285: 11000000 + 5
    put(static_cast<std::uint32_t>(len - 3), 16); // Deflate64: 16 extra bits on a base of 3
    code(0, 5);                                   // distance symbol 0: distance 1
    zeros -= len;
  }
  code(0, 7); // end of block
  put(0, 7);
  return out;
}

// Ten gigabytes of zeros behind a small member in one solid Deflate64 folder: the small member
// is delivered, the big one is never started (it declares more than the budget), decoding stops
// at the budget, and the limit is said.
TEST_F(Extractors, SevenZipBombEndsWithinTheBudget) {
  namespace b = test::sevenzip;
  const std::string payload = "payload first";
  const std::uint64_t zeros = 10ull << 30;
  const auto packed = deflate64Zeros(payload, zeros);
  const std::uint64_t total = payload.size() + zeros;
  const b::Bytes header = b::cat({{0x01, 0x04, 0x06},
                                  b::num(0),
                                  b::num(1),
                                  {0x09},
                                  b::num(packed.size()),
                                  {0x00},
                                  {0x07, 0x0B},
                                  b::num(1),
                                  {0x00},
                                  b::num(1),
                                  {0x03, 0x04, 0x01, 0x09},
                                  {0x0C},
                                  b::num(total),
                                  {0x00},
                                  {0x08, 0x0D},
                                  b::num(2),
                                  {0x09},
                                  b::num(payload.size()),
                                  {0x00},
                                  {0x00, 0x05},
                                  b::num(2),
                                  b::names({"payload.txt", "zeros.bin"}),
                                  {0x00, 0x00}});
  const auto arc = dir / "bomb.7z";
  const b::Bytes bytes = b::archive(packed, header);
  test::writeFile(arc, std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()));
  unpacker.Limits.MaxScanSize = 4 << 20;
  unpack(arc);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, "7Z");
  EXPECT_EQ(seen[0].content, payload);
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::MaxScanSize);
  EXPECT_TRUE(leftovers().empty());
}

// Damage and encryption are said, never passed over: a member whose CRC does not match is
// delivered and recorded; an encrypted member is recorded and not delivered.
TEST_F(Extractors, SevenZipGaps) {
  namespace b = test::sevenzip;
  b::Bytes damaged = b::CopyArchive{{{"bad.txt", "stored bytes"}, {"good.txt", "fine"}}}.bytes();
  damaged[33] ^= 1;
  const auto arc = dir / "crc.7z";
  test::writeFile(arc,
                  std::span(reinterpret_cast<const std::byte*>(damaged.data()), damaged.size()));
  unpack(arc);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].content, "fine");
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].ItemName, "bad.txt");
  EXPECT_EQ(gaps[0].Kind, TGapKind::Damaged);

  seen.clear();
  gaps.clear();
  const b::Bytes sealed = b::archive({1, 2, 3, 4}, b::cat({{0x01, 0x04, 0x06},
                                                           b::num(0),
                                                           b::num(1),
                                                           {0x09},
                                                           b::num(4),
                                                           {0x00},
                                                           {0x07, 0x0B},
                                                           b::num(1),
                                                           {0x00},
                                                           b::num(1),
                                                           {0x04, 0x06, 0xF1, 0x07, 0x01},
                                                           {0x0C},
                                                           b::num(4),
                                                           {0x00},
                                                           {0x00, 0x05},
                                                           b::num(1),
                                                           b::names({"secret.exe"}),
                                                           {0x00, 0x00}}));
  const auto aes = dir / "aes.7z";
  test::writeFile(aes, std::span(reinterpret_cast<const std::byte*>(sealed.data()), sealed.size()));
  unpack(aes);
  EXPECT_TRUE(seen.empty());
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::Encrypted);
  EXPECT_EQ(gaps[0].ItemName, "secret.exe");
  EXPECT_TRUE(leftovers().empty());
}

// ARJ and LZH: an encrypted member or an unknown method is reported, not delivered; a member
// whose check value fails is delivered as decoded and reported as damaged; folders are skipped.
TEST_F(Extractors, OldDosArchivesReportWhatTheyCouldNotReadWhole) {
  const auto arj = dir / "a.arj";
  test::writeFile(arj, test::buildArj({{"secret.txt", "hidden", 0, 1},
                                       {"dir", "", 0, 0, 3},
                                       {"bad.txt", "damaged but scanned", 0, 0, 0, -1, -1, 99},
                                       {"odd.txt", "x", 9},
                                       {"good.txt", "whole"}}));
  unpack(arj);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, "ARJ");
  EXPECT_EQ(seen[0].name, "bad.txt");
  EXPECT_EQ(seen[0].content, "damaged but scanned");
  EXPECT_EQ(seen[1].content, "whole");
  ASSERT_EQ(gaps.size(), 3u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::Encrypted);
  EXPECT_EQ(gaps[0].ItemName, "secret.txt");
  EXPECT_EQ(gaps[1].Kind, TGapKind::Damaged);
  EXPECT_EQ(gaps[1].Reason, "CRC-32 mismatch");
  EXPECT_EQ(gaps[2].Kind, TGapKind::UnsupportedMethod);
  EXPECT_EQ(gaps[2].ItemName, "odd.txt");

  seen.clear();
  gaps.clear();
  const auto lzh = dir / "a.lzh";
  test::writeFile(lzh,
                  test::buildLzh({{"a.txt", "first"}, {"b.txt", "second", "-lh0-", 2, "sub"}}));
  unpack(lzh);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].type, "LZH");
  EXPECT_EQ(seen[1].name, "sub/b.txt");
  EXPECT_EQ(seen[1].content, "second");
  EXPECT_TRUE(gaps.empty());
  EXPECT_TRUE(leftovers().empty());
}

// A member that declares far more than it holds costs only what it writes.
TEST_F(Extractors, OldDosArchiveSizesAreNotTakenOnTrust) {
  const auto lzh = dir / "lie.lzh";
  test::writeFile(
      lzh, test::buildLzh({{"a.txt", "short", "-lh0-", 0, "", 0xFFFFFFF0}, {"b.txt", "next"}}));
  unpack(lzh);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].content, "short");
  EXPECT_EQ(seen[1].content, "next");
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::Damaged);
  EXPECT_FALSE(unpacker.BudgetExhausted());
}

// cpio: regular files only, each delivered with its bytes, whatever its header form; a failed
// checksum and a member cut off by the archive's end are delivered and recorded, never silent.
TEST_F(Extractors, CpioMembersAndWhatCouldNotBeReadCleanly) {
  using test::cpio::Entry;
  const auto good = dir / "good.cpio";
  test::writeFile(good, test::cpio::binary({{"one", "first"},
                                            {"dir", "", 040755},
                                            {"link", "one", 0120777},
                                            {"one", "second of that name"}},
                                           true));
  unpack(good);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, "CPIO");
  EXPECT_EQ(seen[0].content, "first");
  EXPECT_EQ(seen[1].content, "second of that name");
  EXPECT_TRUE(gaps.empty());

  seen.clear();
  const auto damaged = dir / "damaged.cpio";
  test::writeFile(damaged, test::cpio::newc({{"sum", "abc", 0100644, std::nullopt, std::nullopt, 7},
                                             {"cut", "only this", 0100644, 100000}},
                                            true, false));
  unpack(damaged);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].content, "abc");
  EXPECT_EQ(seen[1].content.substr(0, 9), "only this"); // and the padding the archive ends with
  ASSERT_EQ(gaps.size(), 3u); // the sum, the cut member, the walk's end without a trailer
  for (const TScanGap& g : gaps)
    EXPECT_EQ(g.Kind, TGapKind::Damaged);
  EXPECT_EQ(gaps[0].ItemName, "") << gaps[0].Reason;
  EXPECT_EQ(gaps[1].ItemName, "sum");
  EXPECT_EQ(gaps[2].ItemName, "cut");
  EXPECT_TRUE(leftovers().empty());
}

// Runs a compressor over data through the scratch folder.
std::vector<std::byte> bzip2Of(const test::ScratchDir& dir, const std::string& data) {
  test::writeFile(dir / "plain", data);
  EXPECT_EQ(test::run("bzip2 -c '" + (dir / "plain").string() + "' > '" +
                      (dir / "plain.bz2").string() + "'"),
            0);
  return test::readFile(dir / "plain.bz2");
}

// A .bz2 file is one member named after it; a failed check or a cut stream delivers what was
// decoded and is recorded.
TEST_F(Extractors, Bzip2FileIsOneMemberAndDamageIsRecorded) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  const std::string text = "the payload of a compressed file\n";
  const auto packed = bzip2Of(dir, text);
  test::writeFile(dir / "report.txt.bz2", packed);
  unpack(dir / "report.txt.bz2");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, "BZIP2");
  EXPECT_EQ(seen[0].name, "report.txt");
  EXPECT_EQ(seen[0].content, text);
  EXPECT_TRUE(gaps.empty());

  auto badCrc = packed;
  badCrc[10] ^= std::byte{0x40}; // the first block's stored CRC
  test::writeFile(dir / "bad.bz2", badCrc);
  ASSERT_GT(packed.size(), 6u);
  // Inside the end-of-stream marker. A copy of the front, not a resize: the 32-bit compiler
  // cannot see that the size stays small and refuses the fill a growing resize would do.
  const std::vector<std::byte> cut(packed.begin(), packed.end() - 6);
  test::writeFile(dir / "cut.bz2", cut);
  for (const std::string name : {"bad.bz2", "cut.bz2"}) {
    seen.clear();
    gaps.clear();
    unpack(dir / name);
    ASSERT_EQ(seen.size(), 1u) << name;
    EXPECT_EQ(seen[0].content, text) << name;
    ASSERT_EQ(gaps.size(), 1u) << name;
    EXPECT_EQ(gaps[0].Kind, TGapKind::Damaged) << name;
    EXPECT_EQ(gaps[0].ItemName, name.substr(0, 3)) << gaps[0].Reason;
    EXPECT_NE(gaps[0].Reason.find(name == "bad.bz2" ? "CRC mismatch" : "end of data"),
              std::string::npos)
        << gaps[0].Reason;
  }
  EXPECT_TRUE(leftovers().empty());
}

// 10 GiB of zeros (streams of 45 MB each, a few dozen bytes apiece) end at the scan's budget.
TEST_F(Extractors, Bzip2OfZerosEndsAtTheBudget) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  constexpr std::uint64_t kBudget = 8 << 20;
  unpacker.Limits.MaxScanSize = kBudget;
  const auto stream = bzip2Of(dir, std::string(45000000, '\0'));
  std::vector<std::byte> bomb;
  for (int i = 0; i < 240; ++i)
    bomb.insert(bomb.end(), stream.begin(), stream.end());
  test::writeFile(dir / "zeros.bz2", bomb);
  unpack(dir / "zeros.bz2");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_LE(seen[0].content.size(), kBudget);
  EXPECT_GT(seen[0].content.size(), 0u);
  ASSERT_EQ(gaps.size(), 1u);
  EXPECT_EQ(gaps[0].Kind, TGapKind::MaxScanSize);
  EXPECT_TRUE(leftovers().empty());
}

} // namespace
} // namespace kyv::unpack
