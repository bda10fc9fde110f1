#include "mail/transfer_decoders.h"

#include <gtest/gtest.h>

#include <string>

#include "base/endian.h"
#include "test_support.h"

namespace kyv::mail {
namespace {

using test::textOf;

std::string base64(std::string_view in) { return textOf(DecodeBase64(in)); }
std::string uue(std::string_view in) { return textOf(DecodeUUE(in)); }
std::string qp(std::string_view in) {
  VectorSink sink;
  EXPECT_TRUE(DecodeQuotedPrintable(in, sink));
  return textOf(sink.bytes());
}

struct Case {
  std::string_view in;
  std::string out;
};

TEST(Base64, DecodesGroupsAndSkipsEverythingOutsideTheAlphabet) {
  const Case cases[] = {
      {"", ""},
      {"QQ==", "A"},
      {"QUI=", "AB"},
      {"QUJD", "ABC"},
      {"Q\r\nQ=\r\n=", "A"},
      {" QU\tI= ", "AB"},
      {"Q!U*J.D", "ABC"},
      // "=" is skipped, so the four Q form one group.
      {"QQ==QQ==", std::string("\x41\x04\x10", 3)},
      // A lone leftover character is decoded against a filled-up "=" (value 255).
      {"Q", "\x4F"},
      {"QUJDQ", "ABC\x4F"},
      {"!!== \r\n", ""},
      {"AAEC/w==", std::string("\x00\x01\x02\xFF", 4)},
      {"+/+/", "\xFB\xFF\xBF"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(base64(c.in), c.out) << "input: " << c.in;
}

TEST(Base64, LongInputCrossesTheOutputBuffer) {
  // 200,000 groups of "AAAA" give 600,000 zero bytes, several output blocks.
  std::string in;
  for (int i = 0; i < 200000; ++i)
    in += i % 19 == 18 ? "AAAA\r\n" : "AAAA";
  const auto out = DecodeBase64(in);
  ASSERT_EQ(out.size(), 600000u);
  for (const auto b : out)
    ASSERT_EQ(b, std::byte{0});
}

TEST(QuotedPrintable, DecodesEscapesSoftBreaksAndBadEscapes) {
  const Case cases[] = {
      {"=41", "A"},
      {"=4a", "J"},
      {"=4A=3d", "J="},
      {"=G1", std::string(1, '\0')},
      {"x=1Gy", std::string("x\0y", 3)},
      {"a=\r\nb", "ab"},
      // Blanks between "=" and the line break: still a soft line break.
      {"a=  \t\r\nb", "ab"},
      {"a= x", std::string("a\0", 2)},
      {"abc=4", "abc"},
      {"abc=", "abc"},
      {"abc \r\n", "abc"},
      {"a\t \r\n\r\n", "a"},
      // Hard line breaks inside the text are kept.
      {"a\r\nb\r\n", "a\r\nb"},
      // An escaped blank at the end survives: the trimming sees "=20", not a blank.
      {"a=20\r\n", "a "},
      {"", ""},
      {"=", ""},
      {"\r\n \t", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(qp(c.in), c.out) << "input: " << c.in;
}

TEST(Uuencode, DecodesAnnouncedBytes) {
  // "Cat" is "#0V%T" and "hello world\n" is ",:&5L;&\\@=V]R;&0*"; the back-quote line has
  // count 0 and is passed over.
  const std::string message =
      "junk before\r\nbegin 644 cat.txt\r\n#0V%T\r\n,:&5L;&\\@=V]R;&0*\r\n`\r\nend\r\n";
  EXPECT_EQ(uue(message), "Cathello world\n");

  const Case cases[] = {
      {"no marker at all\r\nM0V%T\r\n", ""},
      {"", ""},
      {"begin", ""},
      // The character after "begin" is passed over, so CR LF right after it is not seen and
      // the first data line is lost.
      {"begin\r\n#0V%T\r\nend\r\n", ""},
      {"begin 644 x\r\n#0V%T\r\n#0V%T\r\nend\r\n", "CatCat"},
      // Any line that starts with "en" or "En" ends decoding.
      {"begin 644 x\r\n#0V%T\r\nEnough\r\n#0V%T\r\n", "Cat"},
      // "begin" is case-sensitive.
      {"BEGIN 644 x\r\n#0V%T\r\n", ""},
      // A count of 1 keeps one byte of the group.
      {"begin 644 x\r\n!0P``\r\nend\r\n", "C"},
      // Lone LF is no line break for the decoder: the second line is taken as data of the first.
      {"begin 644 x\r\n&0V%T\n0V%T\r\nend\r\n", std::string("Cat\xA9\x0D\x85", 6)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(uue(c.in), c.out) << "input: " << c.in;
}

TEST(Uuencode, EmptyLineReadsAsCountTwoHundredThirtySeven) {
  // The empty line's length character is CR (count 237); it takes the LF and the characters
  // that follow, across line breaks, until the text ends.
  const std::string message = "begin 644 x\r\n#0V%T\r\n\r\n#0V%T\r\nend\r\n";
  const auto out = DecodeUUE(message);
  ASSERT_GE(out.size(), 3u);
  EXPECT_EQ(textOf(std::span(out).first(3)), "Cat");
  // "\n#0V%T\r\nend\r\n" is 13 characters: three full groups (9 bytes) and one character
  // left over, which carries no whole byte.
  EXPECT_EQ(out.size(), 3u + 9u);
}

TEST(Uuencode, GroupCutOffByTheEndGivesNothing) {
  // Only whole groups of four give bytes: a tail cut off by the end of the text is no data,
  // whatever the line's count announced (the parser's own line break must not become a byte).
  const Case cases[] = {
      {"begin 644 x\r\nM", ""},
      {"begin 644 x\r\nM0V", ""},
      {"begin 644 x\r\nM0V%", ""},
      {"begin 644 x\r\nM0V%T0V", "Cat"},
      // A line short of its count takes the line break into its last group, as the count asks.
      {"begin 644 x\r\n$0V%T0V\r\n", "CatC"},
      {"begin 644 x\r\n#0V%T\r\n", "Cat"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(uue(c.in), c.out) << "input: " << c.in;
}

TEST(Uuencode, UnmaskedValuesSpillIntoNeighbourBits) {
  // Characters below the blank are not masked to six bits: "\x1f" is 255, so the first byte
  // is 255 * 4 + (255 >> 4) = 1035, 11 modulo 256.
  const auto out = DecodeUUE("begin 644 x\r\n!\x1f\x1f\x1f\x1f\r\nend\r\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], std::byte{11});
}

// A sink that accepts a fixed number of writes and then refuses.
class RefusingSink final : public ByteSink {
public:
  explicit RefusingSink(int accepted) : left_(accepted) {}
  bool write(std::span<const std::byte> data) override {
    if (left_-- <= 0)
      return false;
    count_ += data.size();
    return true;
  }
  std::size_t count_ = 0;

private:
  int left_;
};

TEST(TransferDecoders, ReportTheSinkRefusing) {
  const std::string b64(400000, 'A');
  std::string qpText(200000, 'x');
  std::string uueText = "begin 644 x\r\n";
  for (int i = 0; i < 3000; ++i)
    uueText += "M" + std::string(60, '!') + "\r\n";
  RefusingSink s1(1), s2(1), s3(1);
  EXPECT_FALSE(DecodeBase64(b64, s1));
  EXPECT_FALSE(DecodeQuotedPrintable(qpText, s2));
  EXPECT_FALSE(DecodeUUE(uueText, s3));
  // The first block went through before the refusal; nothing more was attempted.
  EXPECT_EQ(s1.count_, 64u * 1024);
  EXPECT_EQ(s2.count_, 64u * 1024);
  EXPECT_EQ(s3.count_, 64u * 1024);
}

} // namespace
} // namespace kyv::mail
