#include <gtest/gtest.h>

#include <string>

#include "base/byte_io.h"
#include "base/text.h"
#include "test_support.h"

namespace kyv {
namespace {

TEST(Text, ReplaceAllIsOneLeftToRightPass) {
  struct Case {
    const char* text;
    const char* oldPiece;
    const char* newPiece;
    const char* result;
  };
  const Case cases[] = {
      {"a\\\\b", "\\\\", "\\", "a\\b"},
      {"\\\\\\", "\\\\", "\\", "\\\\"}, // three: the first pair goes, the third stays
      {"aaaa", "aa", "a", "aa"},        // not repeated until nothing is left
      {"abc", "", "x", "abc"},          // an empty piece changes nothing
      {"abcabc", "bc", "", "aa"},
      {"", "a", "b", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ReplaceAll(c.text, c.oldPiece, c.newPiece), c.result) << c.text;
}

TEST(Text, TrimAndAppendName) {
  EXPECT_EQ(TrimBlanks(" \t\x01name \r\n"), "name");
  EXPECT_EQ(TrimBlanks("\x1F "), "");
  std::string list;
  EXPECT_FALSE(AppendName(list, " \t", ","));
  EXPECT_EQ(list, "");
  EXPECT_TRUE(AppendName(list, "A", ","));
  EXPECT_TRUE(AppendName(list, " B ", ","));
  EXPECT_EQ(list, "A, B "); // the item itself is appended untrimmed
  std::string blank = "  ";
  EXPECT_TRUE(AppendName(blank, "C", ","));
  EXPECT_EQ(blank, "  C"); // no separator after a list that is only blanks
}

TEST(Text, UpperCaseAndCaselessEquality) {
  EXPECT_EQ(UpperCase1251("unrar \xE0\xFF\xB8"), "UNRAR \xC0\xDF\xA8");
  EXPECT_TRUE(EqualsIgnoreAsciiCase("Main.KYV", "main.kyv"));
  EXPECT_FALSE(EqualsIgnoreAsciiCase("\xE0", "\xC0")); // ASCII letters only
}

TEST(ByteIo, SubRangeNeverLeavesItsWindow) {
  const auto bytes = test::bytesOf("0123456789");
  MemorySource base(bytes);
  SubRangeSource sub(base, 3, 4);
  std::byte out[10];
  EXPECT_EQ(sub.read(out), 4u);
  EXPECT_EQ(test::textOf(std::span(out, 4)), "3456");
  EXPECT_EQ(sub.read(out), 0u);
  EXPECT_FALSE(sub.seek(5));
  SubRangeSource past(base, 8, 100); // a window claiming more than is there is cut
  EXPECT_EQ(past.size(), 2u);
  VectorSink limited(3);
  EXPECT_TRUE(limited.write(std::span(bytes).first(3)));
  EXPECT_FALSE(limited.write(std::span(bytes).first(1)));
}

} // namespace
} // namespace kyv
