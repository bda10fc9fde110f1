// Archives made at test time by independent producers (Info-ZIP zip, 7-Zip's 7zz), read back
// and compared byte for byte with the files that went in. Skipped where the tools are missing
// (always so on Windows).
#include "archive/zip_unzipper.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iostream>
#include <map>

#include "platform/file.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using test::readFile;
using test::ScratchDir;

// Text with repeats both near and more than 32 KiB back, so Deflate64's long distances are used.
std::string sampleText() {
  std::string block;
  std::uint32_t x = 12345;
  for (int i = 0; i < 40000; ++i) {
    x = x * 1103515245u + 12345u;
    block += static_cast<char>('a' + (x >> 16) % 26);
    if (i % 60 == 59)
      block += '\n';
  }
  return block + "middle part\n" + block + block.substr(0, 20000);
}

std::string q(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

// Extracts every member like the unpacking kernel does: forced ZIP type, by index, into a file;
// returns name -> bytes of the members whose size matched the directory.
std::map<std::string, std::vector<std::byte>> extractAll(const std::filesystem::path& zip,
                                                         const std::string& password = {}) {
  std::map<std::string, std::vector<std::byte>> out;
  TAbUnZipper unzipper;
  unzipper.ForceType = true;
  unzipper.ArchiveType = TAbArchiveType::atZip;
  unzipper.Password = password;
  unzipper.OpenArchive(zip.string());
  ScratchDir dir;
  for (int i = 0; i < unzipper.MemberCount(); ++i) {
    const TAbArchiveItem& item = *unzipper.MemberAt(i);
    if (item.UncompressedSize == 0 && item.CompressedSize == 0)
      continue;
    const auto target = dir / "member.tmp";
    {
      auto file = platform::File::create(target.string());
      EXPECT_TRUE(file);
      platform::FileSink sink(std::move(*file));
      unzipper.ExtractMemberToStreamAt(i, sink);
    }
    auto bytes = readFile(target);
    if (bytes.size() == item.UncompressedSize)
      out[item.FileName] = std::move(bytes);
  }
  return out;
}

class ZipInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::haveProgram("zip"))
      GTEST_SKIP() << "Info-ZIP zip not installed";
    text_ = sampleText();
    test::writeFile(dir_ / "text.txt", text_);
    test::writeFile(dir_ / "small.txt", "a small member\n");
  }
  ScratchDir dir_;
  std::string text_;
};

TEST_F(ZipInterop, InfoZipStoredDeflatedAndCommented) {
  for (const char* options : {"-0", "-6", "-9"}) {
    SCOPED_TRACE(options);
    const auto zip = dir_ / (std::string("made") + options + ".zip");
    ASSERT_EQ(test::run("cd " + q(dir_.path()) + " && zip -q " + options + " " + q(zip) +
                        " text.txt small.txt"),
              0);
    // An archive comment moves the end record away from the end of the file.
    ASSERT_EQ(test::run("echo 'a comment for the archive' | zip -q -z " + q(zip)), 0);
    const auto members = extractAll(zip);
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
    EXPECT_EQ(test::textOf(members.at("small.txt")), "a small member\n");
  }
}

// Method 12, plain and encrypted, with a member of one byte.
TEST_F(ZipInterop, InfoZipBzip2Members) {
  test::writeFile(dir_ / "one.txt", "x");
  for (const std::string password : {"", "s3cret"}) {
    SCOPED_TRACE(password);
    const auto zip = dir_ / ("bz" + password + ".zip");
    ASSERT_EQ(test::run("cd " + q(dir_.path()) + " && zip -q -Z bzip2 " +
                        (password.empty() ? "" : "-P " + password + " ") + q(zip) +
                        " text.txt small.txt one.txt"),
              0);
    const auto members = extractAll(zip, password);
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
    EXPECT_EQ(test::textOf(members.at("small.txt")), "a small member\n");
    EXPECT_EQ(test::textOf(members.at("one.txt")), "x");
  }
}

TEST_F(ZipInterop, InfoZipEncryptedMembersNeedTheirPassword) {
  const auto zip = dir_ / "secret.zip";
  ASSERT_EQ(
      test::run("cd " + q(dir_.path()) + " && zip -q -P s3cret " + q(zip) + " text.txt small.txt"),
      0);
  // The kernel gives no password: nothing is delivered.
  EXPECT_TRUE(extractAll(zip).empty());
  const auto members = extractAll(zip, "s3cret");
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
}

TEST_F(ZipInterop, SevenZipDeflate64PlainAndEncrypted) {
  if (!test::haveProgram("7zz"))
    GTEST_SKIP() << "7zz not installed";
  const auto plain = dir_ / "d64.zip";
  ASSERT_EQ(test::run("cd " + q(dir_.path()) + " && 7zz a -bd -bso0 -tzip -mm=Deflate64 -mx=9 " +
                      q(plain) + " text.txt small.txt"),
            0);
  auto members = extractAll(plain);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(test::textOf(members.at("text.txt")), text_);

  const auto locked = dir_ / "d64-locked.zip";
  ASSERT_EQ(test::run("cd " + q(dir_.path()) +
                      " && 7zz a -bd -bso0 -tzip -mm=Deflate64 -mem=ZipCrypto -pkey " + q(locked) +
                      " text.txt"),
            0);
  EXPECT_TRUE(extractAll(locked).empty());
  members = extractAll(locked, "key");
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
}

// Method 14: LZMA behind its ZIP header, with and without the end marker 7-Zip writes on
// request, and encrypted.
TEST_F(ZipInterop, SevenZipLzma) {
  if (!test::haveProgram("7zz"))
    GTEST_SKIP() << "7zz not installed";
  for (const char* options : {"-mm=LZMA", "-mm=LZMA:eos -mx=9", "-mm=LZMA:d=4k:lc=0:lp=2:pb=0"}) {
    const auto zip = dir_ / "lzma.zip";
    std::filesystem::remove(zip);
    ASSERT_EQ(test::run("cd " + q(dir_.path()) + " && 7zz a -bd -bso0 -tzip " + options + " " +
                        q(zip) + " text.txt small.txt"),
              0);
    const auto members = extractAll(zip);
    ASSERT_EQ(members.size(), 2u) << options;
    EXPECT_EQ(test::textOf(members.at("text.txt")), text_) << options;
    EXPECT_EQ(test::textOf(members.at("small.txt")), "a small member\n") << options;
  }
  const auto locked = dir_ / "lzma-locked.zip";
  ASSERT_EQ(test::run("cd " + q(dir_.path()) +
                      " && 7zz a -bd -bso0 -tzip -mm=LZMA -mem=ZipCrypto -pkey " + q(locked) +
                      " text.txt"),
            0);
  EXPECT_TRUE(extractAll(locked).empty());
  const auto members = extractAll(locked, "key");
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
}

// ZIP64 as each producer writes it: streamed to a pipe (data descriptors with 64-bit sizes,
// ZIP64 local extra blocks), forced ZIP64 records, bsdtar's ZIP64 option, and 7-Zip.
TEST_F(ZipInterop, Zip64FromEveryProducer) {
  const std::string cd = "cd " + q(dir_.path()) + " && ";
  struct Case {
    const char* tool;
    const char* file;
    std::string command;
  };
  const Case cases[] = {
      {"zip", "piped.zip", "zip -q - text.txt small.txt | cat > piped.zip"},
      {"zip", "piped-stored.zip", "zip -q -0 - text.txt small.txt | cat > piped-stored.zip"},
      {"zip", "forced.zip", "zip -q -fz forced.zip text.txt small.txt"},
      {"zip", "forced-piped.zip", "zip -q -fz - text.txt small.txt | cat > forced-piped.zip"},
      {"bsdtar", "bsdtar.zip",
       "bsdtar --format zip --options zip:zip64 -cf bsdtar.zip text.txt small.txt"},
      {"bsdtar", "bsdtar-piped.zip",
       "bsdtar --format zip --options zip:zip64 -cf - text.txt small.txt | cat > bsdtar-piped.zip"},
      {"7zz", "7zz.zip", "7zz a -bd -bso0 -tzip 7zz.zip text.txt small.txt"},
      // Input from a pipe too: one member named "-".
      {"zip", "stdin.zip", "cat text.txt | zip -q - - > stdin.zip"},
      {"zip", "stdin-piped.zip", "cat text.txt | zip -q - - | cat > stdin-piped.zip"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    if (!test::haveProgram(c.tool)) {
      std::cout << "skipped (" << c.tool << " missing): " << c.file << "\n";
      continue;
    }
    ASSERT_EQ(test::run(cd + c.command), 0);
    const auto members = extractAll(dir_ / c.file);
    if (members.count("-") != 0) {
      EXPECT_EQ(members.size(), 1u);
      EXPECT_EQ(test::textOf(members.at("-")), text_);
      continue;
    }
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(test::textOf(members.at("text.txt")), text_);
    EXPECT_EQ(test::textOf(members.at("small.txt")), "a small member\n");
  }
}

TEST_F(ZipInterop, SeventyThousandEntries) {
  // So many small files are made fastest in memory, where the system has such a folder.
  const bool shm = std::filesystem::is_directory("/dev/shm");
  const test::ScratchDir tree = shm ? test::ScratchDir("/dev/shm") : test::ScratchDir();
  for (int i = 0; i < 70000; ++i)
    test::writeFile(tree / std::to_string(i), std::to_string(i));
  const auto zip = dir_ / "many.zip";
  ASSERT_EQ(test::run("cd " + q(tree.path()) + " && ls | zip -q -0 " + q(zip) + " -@"), 0);
  TAbUnZipper unzipper;
  unzipper.ForceType = true;
  unzipper.ArchiveType = TAbArchiveType::atZip;
  unzipper.OpenArchive(zip.string());
  ASSERT_EQ(unzipper.MemberCount(), 70000);
  // Every member byte for byte: each holds its own name.
  int checked = 0;
  for (int i = 0; i < unzipper.MemberCount(); ++i) {
    VectorSink sink;
    unzipper.ExtractMemberToStreamAt(i, sink);
    ASSERT_EQ(test::textOf(sink.bytes()), unzipper.MemberAt(i)->FileName);
    ++checked;
  }
  EXPECT_EQ(checked, 70000);
}

TEST_F(ZipInterop, ZipInAZipInAZip) {
  const std::string cd = "cd " + q(dir_.path()) + " && ";
  ASSERT_EQ(test::run(cd + "zip -q inner.zip small.txt && zip -q -0 middle.zip inner.zip && "
                           "zip -q -9 outer.zip middle.zip text.txt"),
            0);
  auto outer = extractAll(dir_ / "outer.zip");
  ASSERT_EQ(outer.count("middle.zip"), 1u);
  EXPECT_EQ(test::textOf(outer.at("text.txt")), text_);
  test::writeFile(dir_ / "got-middle.zip", outer.at("middle.zip"));
  auto middle = extractAll(dir_ / "got-middle.zip");
  ASSERT_EQ(middle.count("inner.zip"), 1u);
  test::writeFile(dir_ / "got-inner.zip", middle.at("inner.zip"));
  auto inner = extractAll(dir_ / "got-inner.zip");
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(test::textOf(inner.at("small.txt")), "a small member\n");
}

} // namespace
} // namespace kyv::archive
