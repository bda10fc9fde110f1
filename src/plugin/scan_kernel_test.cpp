// The scan kernel with real databases, made in each test's own BASE folder, and real containers.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/file_scanner.h"
#include "plugin/bav_api.h"
#include "padded_archive.h"
#include "platform/file.h"
#include "platform/system.h"
#include "plugin/scan_kernel.h"
#include "unpack/decompress.h"
#include "source_format.h"
#include "test_support.h"
#include "zip_builder.h"

namespace kyv::plugin {
namespace {

namespace fs = std::filesystem;

std::vector<std::byte> patterned(std::size_t size, unsigned seed) {
  std::vector<std::byte> bytes(size);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::byte>(x >> 24);
  }
  return bytes;
}

class Kernel : public ::testing::Test {
protected:
  Kernel() { fs::create_directory(dir / "BASE"); }

  std::string file(const std::string& name, const std::vector<std::byte>& bytes) {
    test::writeFile(dir / name, bytes);
    return (dir / name).string();
  }

  // A descriptor that matches these bytes exactly (all four of their sums); with `partial`
  // the last sum is spoiled so that only three of four match.
  engine::TVirusDescr signatureOf(const std::string& name, const std::vector<std::byte>& bytes,
                                  bool partial = false) {
    engine::TFileScanner scanner;
    EXPECT_TRUE(scanner.OpenFile(file("sample.bin", bytes)));
    engine::TVirusDescr d;
    d.Name = name;
    d.MinSize = d.MaxSize = static_cast<std::int32_t>(bytes.size());
    for (int j = 0; j < 4; ++j)
      d.Sums[j] = scanner.FileInfo.Sums[j];
    if (partial)
      d.Sums[3] ^= 1;
    return d;
  }

  void writeBase(const std::vector<engine::TVirusDescr>& descriptors, bool withUnpackCode = true,
                 const std::vector<kyvdb::CodeRecord>& code = {}) {
    kyvdb::Source source;
    source.Descriptors = descriptors;
    const kyvdb::Body body = kyvdb::BuildSignatureBody(source);
    engine::DatabaseFields fields;
    fields.Stamp = 1;
    fields.RecordCount = body.RecordCount;
    test::writeFile(dir / "BASE" / "main.kyv", engine::EncodeDatabaseImage(fields, body.Bytes));
    if (withUnpackCode) {
      const kyvdb::Body body = kyvdb::BuildCodeBody(code);
      fields.RecordCount = body.RecordCount;
      test::writeFile(dir / "BASE" / "extract.kyv",
                      engine::EncodeDatabaseImage(fields, body.Bytes));
    }
  }

  TKYVAScanKernel& start() {
    kernel = std::make_unique<TKYVAScanKernel>((dir / "BASE").string());
    EXPECT_TRUE(kernel->LoadBases());
    return *kernel;
  }

  void scan(const std::string& path) {
    kernel->ClearVerdict();
    kernel->ScanFile(path, {});
    // Every level removes its temporary file on its way out.
    for (const auto& name : platform::findEntries(TempFolderPath() + "kyv_*"))
      ADD_FAILURE() << "left behind: " << name;
  }

  test::ScratchDir dir;
  std::unique_ptr<TKYVAScanKernel> kernel;
};

TEST_F(Kernel, StartsOnlyWithDatabasesAndUnpackCode) {
  writeBase({}, /*withUnpackCode=*/false);
  TKYVAScanKernel noCode((dir / "BASE").string());
  EXPECT_FALSE(noCode.LoadBases());
  EXPECT_FALSE(noCode.Ready);

  TKYVAScanKernel noFolder((dir / "missing").string());
  EXPECT_FALSE(noFolder.LoadBases());

  writeBase({});
  EXPECT_TRUE(start().Ready);
  EXPECT_EQ(kernel->BasePath.back(), platform::pathSeparator());
}

TEST_F(Kernel, ScansWithWhateverLoaded) {
  const auto virus = patterned(3000, 10);
  // Signatures but no unpack code: the start fails, yet the file and the containers the kernel
  // reads itself are scanned.
  writeBase({signatureOf("Virus.P", virus)}, /*withUnpackCode=*/false);
  kernel = std::make_unique<TKYVAScanKernel>((dir / "BASE").string());
  EXPECT_FALSE(kernel->LoadBases());
  EXPECT_FALSE(kernel->Ready);
  ASSERT_TRUE(kernel->CanScan());
  scan(file("v.com", virus));
  EXPECT_EQ(kernel->VerdictText, "Virus.P");
  scan(file("v.zip", test::buildStoredZip({{"v.com", virus}})));
  EXPECT_EQ(kernel->VerdictText, "Virus.P");

  // No signature at all: nothing to scan with, loaded or not.
  fs::remove_all(dir / "BASE");
  fs::create_directory(dir / "BASE");
  writeBase({});
  EXPECT_TRUE(start().Ready);
  EXPECT_FALSE(kernel->CanScan());
  TKYVAScanKernel noFolder((dir / "missing").string());
  EXPECT_FALSE(noFolder.LoadBases());
  EXPECT_FALSE(noFolder.CanScan());
}

TEST_F(Kernel, FindingsOfTheFileAndItsMembersFormOneVerdict) {
  const auto virus = patterned(3000, 1);
  const auto other = patterned(2500, 2);
  const auto zipped =
      test::buildStoredZip({{"readme.txt", test::bytesOf("hello")}, {"v.com", virus}});
  const auto nested = test::buildStoredZip({{"inner.zip", zipped}});
  writeBase({signatureOf("Virus.A", virus), signatureOf("Zip.Itself", nested)});
  start();

  scan(file("clean.txt", test::bytesOf("nothing to see")));
  EXPECT_EQ(kernel->VerdictCode, 0);
  EXPECT_EQ(kernel->VerdictText, "");

  scan(file("a.zip", zipped));
  EXPECT_EQ(kernel->VerdictCode, 1);
  EXPECT_EQ(kernel->VerdictText, "Virus.A"); // the engine's name only, not where
  ASSERT_EQ(kernel->Findings.size(), 1u);
  ASSERT_EQ(kernel->Findings[0].Chain.size(), 1u);
  EXPECT_EQ(kernel->Findings[0].Chain[0].ItemName, "v.com");

  // An infected container: its own name first, then its members' names.
  scan(file("b.zip", nested));
  EXPECT_EQ(kernel->VerdictText, "Zip.Itself,Virus.A");
  ASSERT_EQ(kernel->Findings.size(), 2u);
  const unpack::TKYVArcInfoArray& deep = kernel->Findings[1].Chain;
  ASSERT_EQ(deep.size(), 2u);
  EXPECT_EQ(deep[0].ArcType, "ZIP");
  EXPECT_EQ(deep[0].ItemName, "inner.zip");
  EXPECT_EQ(deep[1].ArcFile, deep[0].ItemFile);
  EXPECT_EQ(deep[1].ItemName, "v.com");

  scan(file("c.zip", test::buildStoredZip({{"x.bin", other}})));
  EXPECT_EQ(kernel->VerdictCode, 0);
}

TEST_F(Kernel, SuspiciousFindingsAndInfectedWins) {
  const auto first = patterned(12000, 3);
  const auto second = patterned(11000, 4);
  const auto third = patterned(2200, 5);
  writeBase({signatureOf("Sus.One", first, true), signatureOf("Sus.Two", second, true),
             signatureOf("Bad.Three", third)});
  start();

  scan(file("two.zip", test::buildStoredZip({{"1", first}, {"2", second}})));
  EXPECT_EQ(kernel->VerdictCode, 2);
  EXPECT_EQ(kernel->VerdictText.rfind("Suspictios: Sus.One ( ", 0), 0u) << kernel->VerdictText;
  EXPECT_NE(kernel->VerdictText.find(" 12000),Suspictios: Sus.Two ( "), std::string::npos);

  scan(file("three.zip", test::buildStoredZip({{"1", first}, {"3", third}})));
  EXPECT_EQ(kernel->VerdictCode, 1);
  EXPECT_NE(kernel->VerdictText.find(",Bad.Three"), std::string::npos);
}

std::string base64(const std::vector<std::byte>& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t v = std::to_integer<std::uint32_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size())
      v |= std::to_integer<std::uint32_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size())
      v |= std::to_integer<std::uint32_t>(bytes[i + 2]);
    text += kDigits[v >> 18];
    text += kDigits[(v >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    if (i % 57 == 54)
      text += "\r\n";
  }
  return text;
}

TEST_F(Kernel, FindingChainsNameContainerTypesAndTransferEncodings) {
  const auto virus = patterned(3000, 6);
  writeBase({signatureOf("Virus.M", virus)});
  start();
  const std::string mail =
      "From: a@example.org\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
      "--XX\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=a.zip\r\n\r\n" +
      base64(test::buildStoredZip({{"v.com", virus}})) + "\r\n--XX--\r\n";
  scan(file("m.eml", test::bytesOf(mail)));
  ASSERT_EQ(kernel->Findings.size(), 1u);
  const unpack::TKYVArcInfoArray& chain = kernel->Findings[0].Chain;
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(unpack::ChainText(chain),
            (dir / "m.eml").string() + "/{E-MAIL:base64}/a.zip/{ZIP}/v.com");
}

TEST_F(Kernel, WhatKeptAScanIncompleteStandsBesideAnUnchangedVerdict) {
  const auto virus = patterned(3000, 7);
  writeBase({signatureOf("Virus.L", virus)});
  start();
  const std::string zip = file(
      "three.zip",
      test::buildStoredZip({{"v.com", virus}, {"b", patterned(100, 8)}, {"c", patterned(100, 9)}}));

  scan(zip);
  EXPECT_EQ(kernel->VerdictText, "Virus.L");
  EXPECT_FALSE(kernel->Incomplete());

  // A member cap set on this kernel alone: what was found before it stands.
  kernel->Limits.MaxFiles = 2;
  scan(zip);
  EXPECT_EQ(kernel->VerdictCode, 1);
  EXPECT_EQ(kernel->VerdictText, "Virus.L");
  ASSERT_EQ(kernel->Gaps.size(), 1u);
  EXPECT_EQ(kernel->Gaps[0].Kind, unpack::TGapKind::MaxFiles);
  EXPECT_EQ(unpack::GapKindName(kernel->Gaps[0].Kind), "MaxFiles");
  EXPECT_TRUE(kernel->Gaps[0].Chain.empty()) << "hit in the top-level file itself";

  kernel->Limits = {};
  scan(zip);
  EXPECT_FALSE(kernel->Incomplete()) << "gaps are per top-level file";

  // A file that cannot be read is a gap with the system's reason, never silently clean.
  scan((dir / "no such file").string());
  EXPECT_EQ(kernel->VerdictCode, 0);
  ASSERT_EQ(kernel->Gaps.size(), 1u);
  EXPECT_EQ(kernel->Gaps[0].Kind, unpack::TGapKind::ReadError);
  EXPECT_FALSE(kernel->Gaps[0].Reason.empty());
}

// A payload first, then padding that exhausts the budget while the outer layer is written: the
// tar the gzip holds is cut off, handed on as far as it was written, and unpacked on the grace
// allowance, so the payload at its start is found; the file is marked as not fully scanned.
TEST_F(Kernel, APayloadBeforePaddingIsFoundAndTheFileMarkedIncomplete) {
  const auto virus = patterned(3000, 12);
  writeBase({signatureOf("Virus.Padded", virus)});
  start();
  const std::string tgz =
      file("padded.tar.gz", test::tarGzPayloadThenZeros("first.com", virus, 8 << 20));
  if (test::haveProgram("gzip")) { // sound by an independent reader
    ASSERT_EQ(test::run("gzip -t '" + tgz + "'"), 0);
  }
  kernel->Limits.MaxScanSize = 1 << 20; // stands for the real budget: the padding passes it
  scan(tgz);
  EXPECT_EQ(kernel->VerdictCode, 1);
  EXPECT_EQ(kernel->VerdictText, "Virus.Padded");
  ASSERT_EQ(kernel->Findings.size(), 1u);
  EXPECT_EQ(kernel->Findings[0].Chain.size(), 2u) << unpack::ChainText(kernel->Findings[0].Chain);
  ASSERT_TRUE(kernel->Incomplete());
  EXPECT_EQ(kernel->Gaps[0].Kind, unpack::TGapKind::MaxScanSize);

  // The grace is once per top-level file: a second such file gets its own.
  scan(tgz);
  EXPECT_EQ(kernel->VerdictText, "Virus.Padded");
}

// A ZIP of 2.1 GiB, mostly a hole: its payload comes first, its directory at the end. Sizes are
// 32-bit, so the file itself matches nothing and says so, but it is unpacked and the payload
// found.
TEST_F(Kernel, AFileOf2GiBOrMoreIsUnpackedAndMarkedAsUnmatched) {
  const auto virus = patterned(3000, 13);
  writeBase({signatureOf("Virus.Big", virus)});
  start();
  const auto zip = test::buildStoredZip({{"v.com", virus}});
  // The end record's directory offset (at 16 in the 22-byte record) says where the local part
  // ends; the directory and the end record move to 2.1 GiB with that offset changed.
  const std::size_t eocd = zip.size() - 22;
  const std::uint32_t directory = std::to_integer<std::uint32_t>(zip[eocd + 16]) |
                                  std::to_integer<std::uint32_t>(zip[eocd + 17]) << 8;
  const std::uint64_t moved = 0x86666666; // 2.1 GiB
  std::vector<std::byte> tail(zip.begin() + directory, zip.end());
  for (int i = 0; i < 4; ++i)
    tail[tail.size() - 22 + 16 + i] = static_cast<std::byte>(moved >> (8 * i));
  const auto path = dir / "big.zip";
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(zip.data()), directory);
    out.seekp(static_cast<std::streamoff>(moved));
    out.write(reinterpret_cast<const char*>(tail.data()),
              static_cast<std::streamsize>(tail.size()));
    ASSERT_TRUE(out.good());
  }
  ASSERT_EQ(fs::file_size(path), moved + tail.size());
  scan(path.string());
  EXPECT_EQ(kernel->VerdictCode, 1);
  EXPECT_EQ(kernel->VerdictText, "Virus.Big");
  ASSERT_EQ(kernel->Gaps.size(), 1u);
  EXPECT_EQ(kernel->Gaps[0].Kind, unpack::TGapKind::TooLarge);
  EXPECT_EQ(unpack::GapKindName(kernel->Gaps[0].Kind), "TooLarge");
  EXPECT_TRUE(kernel->Gaps[0].Chain.empty());
}

// A host that calls the entry point from two threads at once (it should not) still gets each
// file's own verdict: the scans take turns.
TEST_F(Kernel, OverlappingHostCallsGetTheirOwnVerdicts) {
  const auto virus = patterned(3000, 14);
  writeBase({signatureOf("Virus.Thread", virus)});
  start();
  const std::string mail =
      file("m.eml",
           test::bytesOf("From: a@example.org\r\nContent-Type: multipart/mixed; boundary=XX\r\n\r\n"
                         "--XX\r\nContent-Transfer-Encoding: base64\r\n"
                         "Content-Disposition: attachment; filename=a.zip\r\n\r\n" +
                         base64(test::buildStoredZip({{"v.com", virus}})) + "\r\n--XX--\r\n"));
  const std::string clean =
      file("c.zip",
           test::buildStoredZip({{"a.txt", patterned(5000, 15)}, {"b.txt", patterned(7000, 16)}}));
  InstallKernel(std::move(kernel));
  constexpr int kCalls = 200;
  int wrongInfected = 0;
  int wrongClean = 0;
  std::thread infected([&] {
    for (int i = 0; i < kCalls; ++i) {
      char buffer[1024] = {};
      if (BAV_CheckFile(mail.c_str(), buffer) != 1 || std::string(buffer) != "Virus.Thread")
        ++wrongInfected;
    }
  });
  std::thread cleanThread([&] {
    for (int i = 0; i < kCalls; ++i) {
      char buffer[1024] = {};
      if (BAV_CheckFile(clean.c_str(), buffer) != 0 || buffer[0] != '\0')
        ++wrongClean;
    }
  });
  infected.join();
  cleanThread.join();
  InstallKernel(nullptr);
  EXPECT_EQ(wrongInfected, 0);
  EXPECT_EQ(wrongClean, 0);
}

// Folders planted in the system's temporary folder at every name a member file could take
// (pid, depth) change nothing: member files live in a private folder of the process.
TEST_F(Kernel, NamesPlantedInTheSharedTemporaryFolderChangeNothing) {
  const auto virus = patterned(3000, 17);
  writeBase({signatureOf("Virus.Planted", virus)});
  start();
  const fs::path shared = fs::temp_directory_path();
  const std::string pid = std::to_string(platform::processId());
  std::vector<fs::path> planted;
  std::error_code ec;
  for (int depth = 0; depth <= 33; ++depth)
    for (const std::string& name : {"kyv_" + pid + "_" + std::to_string(depth) + ".tmp",
                                    "kyv_cab_" + pid + "_" + std::to_string(depth) + ".tmp"})
      if (fs::create_directory(shared / name, ec))
        planted.push_back(shared / name);
  const std::string zip = file(
      "p.zip", test::buildStoredZip({{"inner.zip", test::buildStoredZip({{"v.com", virus}})}}));
  scan(zip);
  for (const fs::path& p : planted)
    fs::remove(p, ec);
  EXPECT_EQ(kernel->VerdictText, "Virus.Planted");
  EXPECT_FALSE(kernel->Incomplete())
      << unpack::GapKindName(kernel->Gaps[0].Kind) << " " << kernel->Gaps[0].Reason;
}

// An unpack code whose RAR module cannot come up here (built for another system, damaged):
// start-up still succeeds and says why, and every RAR archive met is recorded as not unpacked
// with that reason.
TEST_F(Kernel, ARarModuleThatCannotComeUpIsToldAndEveryRarArchiveIsAGap) {
  writeBase({signatureOf("Virus.R", patterned(3000, 18))}, true,
            {{"UNRAR", test::bytesOf("MZ but no module that this system runs")}});
  start();
  EXPECT_TRUE(kernel->Ready);
  const std::string problem = kernel->Unpacker->RarModuleProblem;
  EXPECT_NE(problem.find("cannot be loaded"), std::string::npos) << problem;
  const std::string rar = file("a.rar", test::bytesOf(std::string("Rar!\x1A\x07\x00", 7) + "rest"));
  for (int i = 0; i < 2; ++i) {
    scan(rar);
    ASSERT_EQ(kernel->Gaps.size(), 1u);
    EXPECT_EQ(kernel->Gaps[0].Kind, unpack::TGapKind::UnsupportedMethod);
    EXPECT_EQ(kernel->Gaps[0].Reason, problem);
  }
}

TEST_F(Kernel, GapsKeptInDetailAreBounded) {
  writeBase({});
  start();
  for (std::size_t i = 0; i < kMaxGapsKept + 5; ++i)
    kernel->OnScanGap({unpack::TGapKind::MemberNotWritten, {}, "m", "full"});
  EXPECT_EQ(kernel->Gaps.size(), kMaxGapsKept);
  EXPECT_EQ(kernel->GapsOmitted, 5u);
  kernel->ClearVerdict();
  EXPECT_FALSE(kernel->Incomplete());
  EXPECT_EQ(kernel->GapsOmitted, 0u);
}

TEST_F(Kernel, SelfContainingZipEndsWithItsVerdict) {
  KYV_REQUIRE_FIXTURE(droste, "bombs/recext-droste.zip");
  writeBase({});
  start();
  scan(droste.string());
  EXPECT_EQ(kernel->VerdictCode, 0);
  // It ends at a limit, so it was not looked at completely.
  ASSERT_TRUE(kernel->Incomplete());
  EXPECT_TRUE(unpack::IsLimit(kernel->Gaps[0].Kind));
}

} // namespace
} // namespace kyv::plugin
