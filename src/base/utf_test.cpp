#include "base/utf.h"

#include <gtest/gtest.h>

namespace kyv {
namespace {

TEST(Utf, Utf8ToUtf16ReplacesEachMalformedByte) {
  struct Case {
    std::string_view in;
    std::u16string out;
  };
  const Case cases[] = {
      {"a\xD0\xAF", u"a\u042F"},           // two-byte sequence
      {"\xE2\x82\xAC", u"\u20AC"},         // three bytes
      {"\xF0\x9F\x98\x80", u"\U0001F600"}, // four bytes: a surrogate pair
      {"\xC0\xAF", u"\uFFFD\uFFFD"},       // overlong lead, then a lone continuation
      {"\xE2\x82", u"\uFFFD\uFFFD"},       // cut short by the end
      {"\xE2(\xAC", u"\uFFFD(\uFFFD"},     // a bad continuation byte
      {"\xF7\xBF\xBF\xBF", u"\uFFFD"},     // past U+10FFFF: one character no table has
  };
  for (const Case& c : cases)
    EXPECT_EQ(utf8ToUtf16(c.in), c.out) << c.in;
}

TEST(Utf, Utf16ToUtf8JoinsPairsAndReplacesLoneSurrogates) {
  EXPECT_EQ(utf16ToUtf8(u"\u042F\U0001F600"), "\xD0\xAF\xF0\x9F\x98\x80");
  EXPECT_EQ(utf16ToUtf8(std::u16string{u'x', char16_t{0xD800}, u'y'}), "x\xEF\xBF\xBDy");
  EXPECT_EQ(utf16ToUtf8(std::u16string{char16_t{0xDC00}}), "\xEF\xBF\xBD");
  const std::string round = "\xE2\x82\xAC-\xF0\x9F\x98\x80";
  EXPECT_EQ(utf16ToUtf8(utf8ToUtf16(round)), round);
}

} // namespace
} // namespace kyv
