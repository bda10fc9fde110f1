#include "base/text.h"
#include "platform/codepages.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/wildcard.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace kyv::platform {
namespace {

TEST(Wildcard, MatchesLikeTheWindowsFileSystem) {
  struct Case {
    const char* mask;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"main*.kyv", "main.kyv", true},
      {"main*.kyv", "MAIN2.KYV", true},
      {"main*.kyv", "main1.kyv.bak", false},
      {"main*.kyv", "daily.kyv", false},
      {"*", "", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"*a*b*", "xxaxxbxx", true},
      {"*.kyv", "x.kyvx", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(wildcardMatch(c.mask, c.name), c.match) << c.mask << " vs " << c.name;
}

TEST(FolderRule, WindowsRuleAsAPureFunction) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"D:\\Mail\\Plugins", "D:\\Mail\\Plugins\\"},
      {"D:/Mail/Plugins/", "D:\\Mail\\Plugins\\"},
      {"d", "d:\\"},
      {"1", "1\\"},
      {"", ""},
      {"C:\\\\a\\\\\\b", "C:\\a\\\\b\\"}, // one left-to-right pass of pair replacement
      {"\\\\server\\share", "\\\\server\\share\\"},
      // Four leading separators collapse pairwise to two, then one goes back in front.
      {"\\\\\\\\server", "\\\\\\server\\"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NormalizeFolderWith(c.in, '\\'), c.out) << c.in;
}

TEST(CodePages, ConvertTheRussianLetters) {
  // "Ошибка" in Windows-1251 and in 866.
  const std::string ansi = "\xCE\xF8\xE8\xE1\xEA\xE0";
  const std::string oem = "\x8E\xE8\xA8\xA1\xAA\xA0";
  EXPECT_EQ(cp1251ToUtf8(ansi), "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0");
  // And back from Unicode forms; what the code page lacks becomes '?'.
  EXPECT_EQ(utf8ToCp1251(cp1251ToUtf8(ansi)), ansi);
  EXPECT_EQ(utf8ToCp1251("\xE2\x82\xAC \xC3\xA9 \xF0\x9F\x98\x80 \xC3"), "\x88 ? ? ?");
  EXPECT_EQ(utf8ToCp1251("\x82\xFF\xC0\xAFz"), "????z"); // bytes that start nothing
  // What the conversion met: text already in Windows-1251, characters the code page lacks.
  ConversionNotes notes;
  EXPECT_EQ(utf8ToCp1251("ok? \xD0\x96", &notes), "ok? \xC6");
  EXPECT_FALSE(notes.malformed || notes.unmappable);
  utf8ToCp1251("\xC6\xE0\xE1\xE0", &notes); // a Windows-1251 word, no UTF-8
  EXPECT_TRUE(notes.malformed);
  notes = {};
  utf8ToCp1251("\xF0\x9F\x98\x80", &notes);
  EXPECT_TRUE(notes.unmappable);
  EXPECT_FALSE(notes.malformed);
  EXPECT_EQ(utf16LeToCp1251(std::string_view("\xAC\x20\x1E\x04x\0\0\0y\0", 10)), "\x88\xCEx");
  EXPECT_EQ(utf16LeToCp1251(std::string_view("\x3D\xD8\x00\xDE"
                                             "a\0b",
                                             7)),
            "?a");
  std::string converted;
  for (const char c : oem)
    converted += static_cast<char>(oem866ToCp1251(static_cast<unsigned char>(c)));
  EXPECT_EQ(converted, ansi);
}

TEST(Files, ExclusiveCreateRefusesAnExistingFileAndReadsBack) {
  test::ScratchDir dir;
  const std::string path = (dir / "x.tmp").string();
  auto file = File::create(path, true);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write(test::bytesOf("hello")));
  EXPECT_FALSE(File::create(path, true));
  file.reset();
  auto source = FileSource::open(path);
  ASSERT_TRUE(source);
  EXPECT_EQ(source->size(), 5u);
  std::byte buf[3];
  ASSERT_TRUE(source->seek(2));
  EXPECT_EQ(source->read(buf), 3u);
  EXPECT_EQ(test::textOf(buf), "llo");
  EXPECT_TRUE(fileExists(path));
  EXPECT_FALSE(fileExists(dir.path().string()));
  source.reset(); // Windows refuses to delete a file that is open
  EXPECT_TRUE(deleteFile(path));
  EXPECT_FALSE(fileExists(path));
  EXPECT_FALSE(File::openRead(path));
}

TEST(Files, ReadWholeFileSaysWhy) {
  test::ScratchDir dir;
  std::string why;
  EXPECT_FALSE(readWholeFile((dir / "missing").string(), 100, &why));
  EXPECT_FALSE(why.empty());
  test::writeFile(dir / "big", "0123456789");
  EXPECT_FALSE(readWholeFile((dir / "big").string(), 9, &why));
  EXPECT_EQ(why, "larger than 9 bytes");
  EXPECT_TRUE(readWholeFile((dir / "big").string(), 10, &why));
}

TEST(Files, FindEntriesMatchesWithoutCase) {
  test::ScratchDir dir;
  test::writeFile(dir / "MAIN1.KYV", "a");
  test::writeFile(dir / "main2.kyv", "b");
  test::writeFile(dir / "daily.kyv", "c");
  std::string pattern = dir.path().string();
  pattern += pathSeparator();
  auto names = findEntries(pattern + "main*.kyv");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"MAIN1.KYV", "main2.kyv"}));
}

// The private temporary folder's name is drawn afresh while the one drawn is taken; a failure
// of another kind ends the attempt.
TEST(System, UniqueFolderNamesAreDrawnAgainWhileTaken) {
  namespace fs = std::filesystem;
  test::ScratchDir dir;
  const std::string root = dir.path().string() + "/";
  std::vector<std::uint64_t> draws{0x1234, 0x1234, 0x5678, 0x9ABC};
  std::size_t next = 0;
  const auto random = [&] { return draws[next++]; };
  const auto make = [](const std::string& path) {
    std::error_code ec;
    if (fs::create_directory(path, ec))
      return MakeFolderResult::Made;
    return fs::exists(path) ? MakeFolderResult::Taken : MakeFolderResult::Failed;
  };
  fs::create_directory(root + "kyv-0000000000001234"); // planted in advance
  EXPECT_EQ(makeUniqueFolder(root, "kyv-", random, make), root + "kyv-0000000000005678");
  EXPECT_EQ(next, 3u);
  EXPECT_TRUE(fs::is_directory(root + "kyv-0000000000005678"));
  // A folder that cannot be made for another reason (its parent is missing).
  next = 3;
  EXPECT_EQ(makeUniqueFolder(root + "missing/", "kyv-", random, make), "");
  EXPECT_EQ(next, 4u);
  // Taken every time: given up on after many draws, never an endless loop.
  std::uint64_t always = 0x1234;
  EXPECT_EQ(makeUniqueFolder(
                root, "kyv-", [&] { return always; }, make),
            "");
}

// Member files go into a folder of this process's own inside the system's temporary folder.
TEST(System, TempFolderIsPrivateToTheProcess) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::path(tempFolder());
  ASSERT_TRUE(fs::is_directory(folder));
  const fs::path shared = fs::temp_directory_path();
  EXPECT_FALSE(fs::equivalent(folder, shared));
  EXPECT_TRUE(fs::equivalent(folder.parent_path(), shared)) << folder.string();
  EXPECT_EQ(folder.filename().string().rfind("kyv-", 0), 0u) << folder.string();
}

TEST(System, TempFolderExistsAndProcessIdIsSet) {
  EXPECT_TRUE(folderExists(tempFolder()));
  EXPECT_NE(processId(), 0u);
  EXPECT_FALSE(moduleFileName().empty());
}

} // namespace
} // namespace kyv::platform
