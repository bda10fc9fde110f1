#include "mail/email_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "base/error.h"
#include "test_support.h"

namespace kyv::mail {
namespace {

using test::textOf;

// Messages in these tests are written with "\n" and turned into CR LF here, so that the
// literal stays readable; tests of other line breaks build their bytes directly.
std::string crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n')
      out += '\r';
    out += c;
  }
  return out;
}

std::string written(const TMailPart& part) {
  VectorSink sink;
  EXPECT_TRUE(TEmailParser::WritePart(part, sink));
  return textOf(sink.bytes());
}

struct Expected {
  std::string name;
  std::string encoding;
  std::string content; // what WritePart gives
};

void expectParts(std::string_view message, const std::vector<Expected>& expected) {
  TEmailParser parser;
  ASSERT_TRUE(parser.ParseText(message));
  ASSERT_EQ(parser.PartCount(), expected.size()) << message;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const TMailPart& part = parser.Parts()[i];
    EXPECT_EQ(part.Name, expected[i].name) << "part " << i;
    EXPECT_EQ(part.Encoding, expected[i].encoding) << "part " << i;
    EXPECT_EQ(written(part), expected[i].content) << "part " << i;
  }
}

TEST(EmailParser, SinglePartMessages) {
  // No Content-Type: one part, the body after the first empty line.
  expectParts(crlf("From: a@b\nSubject: x\n\nline 1\nline 2\n"),
              {{"MainBody", "", "line 1\r\nline 2\r\n"}});
  // No headers at all: the empty first line ends an empty header block.
  expectParts(crlf("\nbody\n"), {{"MainBody", "", "body\r\n"}});
  // A header block that runs to the end gives one empty part.
  expectParts(crlf("From: a@b\nSubject: x\n"), {{"MainBody", "", ""}});
  // Encoding and name come from the top-level headers.
  expectParts(crlf("Content-Transfer-Encoding:  Base64 \nContent-Disposition: attachment; "
                   "filename=\"v.exe\"\n\nQUJD\n"),
              {{"v.exe", "base64", "ABC"}});
  // Not multipart: a type of its own is not interpreted.
  expectParts(crlf("Content-Type: text/plain; boundary=x\n\n--x\nbody\n--x--\n"),
              {{"MainBody", "", "--x\r\nbody\r\n--x--\r\n"}});
}

TEST(EmailParser, LineBreaksOfEveryKindAndNul) {
  // CR LF, lone CR and lone LF all end header lines; a part sent as it is keeps its bytes.
  expectParts("Subject: x\r\rone\ntwo\rthree\r\nfour",
              {{"MainBody", "", "one\ntwo\rthree\r\nfour"}});
  // Encoded parts are read as lines, whatever ends them.
  expectParts("Content-Transfer-Encoding: quoted-printable\n\na=\nb\rc=\r\nd",
              {{"MainBody", "quoted-printable", "ab\r\ncd"}});
  // A NUL byte is data.
  const std::string withNul = std::string("Subject: x\r\n\r\nvisible\r\n\0hidden\r\n", 33);
  expectParts(withNul, {{"MainBody", "", withNul.substr(14)}});
  expectParts("", {{"MainBody", "", ""}});
}

TEST(EmailParser, MultipartWithNamesEncodingsAndNumbering) {
  const std::string message = crlf("Received: from x by y\n"
                                   "Content-Type: multipart/mixed; boundary=\"b1\"\n"
                                   "\n"
                                   "preamble, never a part\n"
                                   "--b1\n"
                                   "Content-Type: text/plain\n"
                                   "\n"
                                   "hello\n"
                                   "--b1\n"
                                   "Content-Type: application/octet-stream\n"
                                   "Content-Transfer-Encoding: BASE64\n"
                                   "Content-Disposition: attachment; filename=\"a.exe\"\n"
                                   "\n"
                                   "TVqQ\n"
                                   "AAM=\n"
                                   "--b1\n"
                                   "Content-Transfer-Encoding: quoted-printable\n"
                                   "\n"
                                   "caf=E9 =\n"
                                   "ok\n"
                                   "--b1\n"
                                   "Content-Transfer-Encoding: x-gzip64\n"
                                   "\n"
                                   "unknown encodings write nothing\n"
                                   "--b1--\n"
                                   "epilogue, never read\n");
  expectParts(message, {{"", "", "hello"},
                        {"a.exe", "base64", std::string("MZ\x90\x00\x03", 5)},
                        {"", "quoted-printable", "caf\xE9 ok"},
                        {"", "x-gzip64", ""}});
}

TEST(EmailParser, CaseOfMultipartBoundaryAndFilenameDoesNotMatter) {
  const std::string message = crlf("CONTENT-TYPE: Multipart/Mixed;\n"
                                   "\tBOUNDARY=xyz\n"
                                   "\n"
                                   "--xyz\n"
                                   "content-disposition: attachment; FileName=up.bin\n"
                                   "Content-Transfer-Encoding: x-uuencode\n"
                                   "\n"
                                   "begin 644 up.bin\n"
                                   "#0V%T\n"
                                   "`\n"
                                   "end\n"
                                   "--xyz--\n");
  expectParts(message, {{"up.bin", "x-uuencode", "Cat"}});
}

TEST(EmailParser, UuencodeGoesByFourNames) {
  for (const char* name : {"x-uue", "x-uuencode", "uuencode", "uue", "X-UUE"}) {
    TMailPart part;
    part.Encoding = std::string(name);
    for (char& c : part.Encoding)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    part.Body = "begin 644 x\r\n#0V%T\r\nend\r\n";
    EXPECT_EQ(written(part), "Cat") << name;
  }
}

TEST(EmailParser, BoundaryParameter) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"multipart/mixed; boundary=\"abc\"", "abc"},
      {"multipart/mixed; boundary=abc; charset=x", "abc"},
      {"multipart/mixed; boundary = abc ", "abc"},
      {"multipart/mixed; Boundary=ABC", "ABC"},
      // Parameters, never substrings: quoted strings keep their ";", comments go, and a
      // parameter whose name merely contains the word is another parameter.
      {"multipart/mixed; boundary=\"a;b\"", "a;b"},
      {"multipart/mixed; x-boundary-hint=1; boundary=\"B\"", "B"},
      {"multipart/mixed (comment; boundary=no); boundary=yes (trailing)", "yes"},
      {"multipart/mixed; boundary*=us-ascii'en'B%20C", "B C"},
      {"multipart/mixed; boundary*0=\"ab\"; boundary*1=cd", "abcd"},
      {"multipart/mixed; *0=x; *=y; boundary=z", "z"},
      {"multipart/mixed", ""},
      {"multipart/mixed; boundary", ""},
      {"multipart/mixed; boundary:abc", ""},
      {"multipart/mixed; boundary=\"\"", ""},
      {"", ""},
  };
  for (const auto& [value, boundary] : cases)
    EXPECT_EQ(TEmailParser::BoundaryOf(value), boundary) << value;
  const std::string longValue = "multipart/mixed; boundary=" + std::string(600, 'q');
  EXPECT_EQ(TEmailParser::BoundaryOf(longValue), std::string(600, 'q'));
}

TEST(EmailParser, FileNameParameter) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"Content-Disposition: attachment; filename=\"a.exe\"\r\n", "a.exe"},
      {"Content-Disposition: attachment; filename=a.exe; size=10\r\n", "a.exe"},
      {"Content-Disposition: attachment; filename=\"a.exe\"; size=10\r\n", "a.exe"},
      {"Content-Disposition: attachment; size=10; x-filename=no; filename=a.exe\r\n", "a.exe"},
      // Names come out in the system's code page (Windows-1251).
      {"Content-Disposition: attachment; filename*=utf-8''%E2%82%AC.exe\r\n", "\x88.exe"},
      {"Content-Disposition: attachment;\tfilename*0*=utf-8''a%20; filename*1=\"b.exe\"\r\n",
       "a b.exe"},
      {"Content-Disposition: attachment; filename=\"=?utf-8?B?0L/RgC5leGU=?=\"\r\n",
       "\xEF\xF0.exe"},
      {"Content-Disposition: attachment; filename=\"=?windows-1251?Q?=EF=F0?=.exe\"\r\n",
       "\xEF\xF0.exe"},
      {"Content-Disposition: attachment; filename=\"=?iso-8859-1?Q?caf=E9_1?= "
       "=?us-ascii?Q?.exe?=\"\r\n",
       "caf? 1.exe"},
      {"Content-Disposition: attachment; filename=\"=?koi8-r?B?0NI=?=\"\r\n", "\xD0\xD2"},
      // Malformed encoded words stay as written.
      {"Content-Disposition: attachment; filename=\"=?utf-8?X?abc?= =?utf-8?B?YQ\"\r\n",
       "=?utf-8?X?abc?= =?utf-8?B?YQ"},
      {"Content-Disposition : attachment; filename=spaced\r\n", "spaced"},
      {"Content-Disposition: attachment; FILENAME= b.com \r\n", "b.com"},
      // Only Content-Disposition is consulted, and only its first occurrence.
      {"Content-Type: application/x; name=\"c.exe\"\r\n", ""},
      {"Content-Disposition: inline\r\nContent-Disposition: attachment; filename=d\r\n", ""},
      // The header name must start the line and carry its colon.
      {"X-Content-Disposition: attachment; filename=e\r\n", ""},
  };
  for (const auto& [block, name] : cases)
    EXPECT_EQ(TEmailParser::AttachmentName(block), name) << block;
}

TEST(EmailParser, DelimiterRules) {
  // A multipart without a boundary parameter: "--" and "----" are the delimiters.
  expectParts(crlf("Content-Type: multipart/mixed\n\n--\n\nfirst\n--\n\nsecond\n----\nafter\n"),
              {{"", "", "first"}, {"", "", "second"}});
  // Blanks after a delimiter are transport padding; no delimiter at all gives no part.
  expectParts(crlf("Content-Type: multipart/mixed; boundary=q\n\n--q \t\n\nbody\n--q--  \nafter\n"),
              {{"", "", "body"}});
  expectParts(crlf("Content-Type: multipart/mixed; boundary=q\n\n-- q\n\nbody\n"), {});
  // A part without header lines is kept with empty headers; a last part without a closing
  // delimiter runs to the end of the text.
  {
    TEmailParser parser;
    parser.ParseText(
        crlf("Content-Type: multipart/mixed; boundary=q\n\n--q\n\nraw\n--q\nX: y\n\nlast\nlines"));
    ASSERT_EQ(parser.PartCount(), 2u);
    EXPECT_EQ(parser.Parts()[0].Headers, "");
    EXPECT_EQ(parser.Parts()[0].Body, "raw");
    EXPECT_EQ(parser.Parts()[1].Headers, "X: y\r\n");
    EXPECT_EQ(parser.Parts()[1].Body, "last\r\nlines");
  }
  // A header block that runs to the end of the text is not a part.
  expectParts(crlf("Content-Type: multipart/mixed; boundary=q\n\n--q\n\none\n--q\nX: y\n"),
              {{"", "", "one"}});
  // Same file names stay as they are; position numbering is the caller's.
  expectParts(crlf("Content-Type: multipart/mixed; boundary=q\n\n"
                   "--q\nContent-Disposition: attachment; filename=same\n\n1\n"
                   "--q\nContent-Disposition: attachment; filename=same\n\n2\n--q--\n"),
              {{"same", "", "1"}, {"same", "", "2"}});
}

TEST(EmailParser, NestedMultipartsAreWalkedDepthFirst) {
  const std::string message = crlf("Content-Type: multipart/mixed; boundary=outer\n\n"
                                   "--outer\n\nA\n"
                                   "--outer\n"
                                   "Content-Type: multipart/alternative; boundary=inner\n\n"
                                   "inner preamble\n"
                                   "--inner\n\nB\n"
                                   "--inner\n\nC\n"
                                   "--inner--\n"
                                   "skipped after the inner close\n"
                                   "--outer\n\nD\n"
                                   "--outer--\n");
  expectParts(message, {{"", "", "A"}, {"", "", "B"}, {"", "", "C"}, {"", "", "D"}});
}

// Builds a chain of `levels` multiparts, each holding the next, with one leaf at the bottom.
std::string nested(int levels) {
  std::string head = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
  for (int i = 1; i < levels; ++i)
    head += "--b" + std::to_string(i - 1) + "\r\nContent-Type: multipart/mixed; boundary=b" +
            std::to_string(i) + "\r\n\r\n";
  return head + "--b" + std::to_string(levels - 1) + "\r\n\r\nleaf\r\n";
}

TEST(EmailParser, DeepNestingIsWalkedToTheBottom) {
  // No depth is too deep: the walk keeps its open multiparts in a list, not on the stack.
  for (const int levels : {1, 33, 200, 100000}) {
    TEmailParser parser;
    parser.ParseText(nested(levels));
    ASSERT_EQ(parser.PartCount(), 1u) << levels;
    EXPECT_EQ(parser.Parts()[0].Body, "leaf\r\n") << levels;
  }
}

TEST(EmailParser, PartCountIsCappedAndADroppedPartIsTold) {
  // Exactly the cap drops nothing; one more part is dropped, and that is said.
  for (const std::size_t count : {kMaxParts, kMaxParts + 1, kMaxParts + 5}) {
    std::string message = "Content-Type: multipart/mixed; boundary=q\r\n\r\n";
    for (std::size_t i = 0; i < count; ++i)
      message += "--q\r\n\r\nx\r\n";
    TEmailParser parser;
    parser.ParseText(message);
    EXPECT_EQ(parser.PartCount(), kMaxParts) << count;
    EXPECT_EQ(parser.PartsDropped(), count > kMaxParts) << count;
  }
}

TEST(EmailParser, ParseReadsTheFileAndRestartsFromScratch) {
  test::ScratchDir dir;
  const auto path = dir / "m.eml";
  test::writeFile(
      path, crlf("Content-Type: multipart/mixed; boundary=q\n\n--q\n\none\n--q\n\ntwo\n--q--\n"));
  TEmailParser parser;
  parser.SetFileName(path.string());
  ASSERT_TRUE(parser.Parse());
  ASSERT_EQ(parser.PartCount(), 2u);
  parser.Parts()[1].Name = "Part2";
  EXPECT_EQ(parser.Parts()[1].Name, "Part2");
  ASSERT_TRUE(parser.Parse());
  ASSERT_EQ(parser.PartCount(), 2u);
  EXPECT_EQ(parser.Parts()[1].Name, "");
  EXPECT_EQ(parser.HeaderLines(), "Content-Type: multipart/mixed; boundary=q\r\n");

  parser.SetFileName((dir / "missing.eml").string());
  EXPECT_THROW(parser.Parse(), Error);

  // Past the size cap the file is refused before anything is read (the file is sparse).
  const auto huge = dir / "huge.eml";
  test::writeFile(huge, "Subject: x\r\n\r\n");
  std::filesystem::resize_file(huge, kMaxMessageBytes + 1);
  parser.SetFileName(huge.string());
  try {
    parser.Parse();
    ADD_FAILURE() << "a message over the cap was parsed";
  } catch (const Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Limit) << e.what();
  }
}

TEST(EmailParser, WritePartReportsARefusingSink) {
  TMailPart part;
  part.Body = "plain";
  VectorSink small(2);
  EXPECT_FALSE(TEmailParser::WritePart(part, small));
  part.Body = {};
  EXPECT_TRUE(TEmailParser::WritePart(part, small));
}

} // namespace
} // namespace kyv::mail

namespace kyv::mail {
namespace {

TEST(EmailParser, DamagedMessagesNeverCrash) {
  // Random damage to a message that uses every feature; only "no crash, no hang" is asked,
  // plus the bounds every parse keeps.
  const std::string original =
      crlf("Content-Type: multipart/mixed; boundary=o\n\n"
           "--o\nContent-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=\"a.exe\"\n\nTVqQAAM=\n"
           "--o\nContent-Type: multipart/alternative;\n boundary=i\n\n"
           "--i\nContent-Transfer-Encoding: quoted-printable\n\na=3Db=\nc\n"
           "--i\nContent-Transfer-Encoding: uue\n\nbegin 644 x\n#0V%T\n`\nend\n"
           "--i--\n--o\n\nplain\n--o--\n");
  std::uint32_t seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return seed >> 8;
  };
  for (int round = 0; round < 3000; ++round) {
    std::string damaged = original;
    const int edits = 1 + static_cast<int>(next() % 8);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = next() % damaged.size();
      switch (next() % 3) {
      case 0:
        damaged[at] = static_cast<char>(next());
        break;
      case 1:
        damaged.erase(at, 1 + next() % 16);
        break;
      default:
        damaged.insert(at, damaged.substr(next() % damaged.size(), next() % 32));
        break;
      }
      if (damaged.empty())
        damaged = "x";
    }
    TEmailParser parser;
    ASSERT_TRUE(parser.ParseText(damaged));
    // Every part needs a delimiter line of its own.
    const auto lines =
        static_cast<std::size_t>(std::count(damaged.begin(), damaged.end(), '\n') +
                                 std::count(damaged.begin(), damaged.end(), '\r') + 1);
    ASSERT_LE(parser.PartCount(), lines / 2) << damaged;
    for (const auto& part : parser.Parts()) {
      NullSink sink;
      ASSERT_TRUE(TEmailParser::WritePart(part, sink));
      ASSERT_LE(sink.count(), 2 * damaged.size());
    }
  }
}

} // namespace
} // namespace kyv::mail

namespace kyv::mail {
namespace {

TEST(EmailParser, BytesSentAsTheyAreStayExactlyThoseBytes) {
  // A NUL in the preamble hides nothing; a binary part keeps every byte (lone CR and LF, NUL,
  // a trailing break of its own), less only the line break that belongs to the delimiter.
  std::string binary;
  for (int i = 0; i < 68; ++i)
    binary += static_cast<char>(i * 37);
  binary += "\r\n\n";
  std::string message = "Content-Type: multipart/mixed; boundary=b\r\n\r\npre";
  message += '\0';
  message += "amble\r\n--b\r\nContent-Transfer-Encoding: binary\r\n\r\n" + binary +
             "\r\n--b\r\nContent-Transfer-Encoding: 7bit\r\n\r\n" + std::string(68, 'x') +
             "\r\n--b--\r\n";
  expectParts(message, {{"", "binary", binary}, {"", "7bit", std::string(68, 'x')}});
}

TEST(EmailParser, TransferEncodingIsAMechanismWithComments) {
  expectParts(crlf("Content-Transfer-Encoding: base64 (sent by a gateway)\n\nQUJD\n"),
              {{"MainBody", "base64", "ABC"}});
  expectParts(crlf("Content-Transfer-Encoding: (odd) Quoted-Printable\n\na=\t\nb=41\n"),
              {{"MainBody", "quoted-printable", "abA"}});
}

TEST(EmailParser, ForwardedMessagesAreOpenedInPlace) {
  // A forwarded message whose head starts with any field; its own multipart holds the file.
  const std::string forwarded =
      crlf("Content-Type: multipart/mixed; boundary=o\n\n"
           "--o\nContent-Type: text/plain\n\nsee below\n"
           "--o\nContent-Type: message/rfc822\n\n"
           "Subject: fwd\nContent-Type: multipart/mixed; boundary=i\n\n"
           "--i\nContent-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; filename=x.exe\n\nTVqQ\n"
           "--i--\n"
           "--o\nContent-Type: message/rfc822\nContent-Transfer-Encoding: base64\n\n"
           "U3ViamVjdDogeA0KDQp5\n"
           "--o--\n");
  expectParts(forwarded, {{"", "", "see below"},
                          {"x.exe", "base64", std::string("MZ\x90", 3)},
                          // Sent encoded, it stays one part; the unpacker opens it once decoded.
                          {"", "base64", "Subject: x\r\n\r\ny"}});

  // Forwarded forty times over: the attachment at the bottom is still found.
  std::string deep = "Content-Type: message/rfc822\r\n\r\n";
  for (int i = 0; i < 40; ++i)
    deep += "Subject: level " + std::to_string(i) +
            "\r\nContent-Type: multipart/mixed; boundary=L" + std::to_string(i) + "\r\n\r\n--L" +
            std::to_string(i) + "\r\nContent-Type: message/rfc822\r\n\r\n";
  deep += "Content-Disposition: attachment; filename=deep.bin\r\n\r\npayload";
  expectParts(deep, {{"deep.bin", "", "payload"}});

  // In a digest, a part without a type is a message.
  expectParts(crlf("Content-Type: multipart/digest; boundary=d\n\n"
                   "--d\n\nSubject: one\nContent-Disposition: attachment; filename=a\n\nfirst\n"
                   "--d\nContent-Type: text/plain\n\nplain\n--d--\n"),
              {{"a", "", "first"}, {"", "", "plain"}});
}

TEST(EmailParser, OuterDelimiterEndsEveryMultipartInsideIt) {
  // The inner multipart is never closed; the outer delimiter still ends it, and the attachment
  // after it is found. A delimiter inside a header block ends that (empty) part too.
  expectParts(crlf("Content-Type: multipart/mixed; boundary=outer\n\n"
                   "--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
                   "--inner\n\ntext\n"
                   "--outer\nContent-Disposition: attachment; filename=\"late.exe\"\n\nMZ\n"
                   "--outer\nX-Header: 1\n--outer\n\nafter\n--outer--\n"),
              {{"", "", "text"}, {"late.exe", "", "MZ"}, {"", "", ""}, {"", "", "after"}});
}

TEST(EmailParser, EveryMessageOfAnMboxFile) {
  TEmailParser parser;
  parser.ParseText(crlf("From a@example.org Thu Dec 10 10:00:00 2026\n"
                        "Subject: one\n\nfirst body\n>From quoted, kept as it is\n"
                        "From here on, a line inside the text\n\n"
                        "From b@example.org Thu Dec 10 10:00:01 2026\n"
                        "Content-Type: multipart/mixed; boundary=q\n\n"
                        "--q\nContent-Disposition: attachment; filename=b.exe\n\nMZ\n--q--\n\n"
                        "From c@example.org Thu Dec 10 10:00:02 2026\n"
                        "Content-Transfer-Encoding: base64\n\nQUJD\n"));
  ASSERT_EQ(parser.MessageCount(), 3u);
  ASSERT_EQ(parser.PartCount(), 3u);
  EXPECT_EQ(
      written(parser.Parts()[0]),
      "first body\r\n>From quoted, kept as it is\r\nFrom here on, a line inside the text\r\n");
  EXPECT_EQ(parser.Parts()[0].Name, "MainBody");
  EXPECT_EQ(parser.Parts()[1].Name, "b.exe");
  EXPECT_EQ(written(parser.Parts()[1]), "MZ");
  EXPECT_EQ(written(parser.Parts()[2]), "ABC");
  for (std::uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(parser.Parts()[i].Message, i + 1);
  EXPECT_EQ(parser.HeaderLines(),
            "From a@example.org Thu Dec 10 10:00:00 2026\r\nSubject: one\r\n");

  // A file that does not start like an mbox is one message, whatever lines it holds.
  parser.ParseText(
      crlf("Subject: x\n\nbody\n\nFrom b Thu Dec 10 10:00:01 2026\nSubject: y\n\nz\n"));
  EXPECT_EQ(parser.MessageCount(), 1u);
  EXPECT_EQ(parser.PartCount(), 1u);
}

TEST(EmailParser, UuencodedFilesInsideTextBecomeParts) {
  expectParts(
      crlf("Subject: old style\n\nHere it is:\n\nbegin 644 cat.txt\n#0V%T\n`\nend\n"
           "and again:\nbegin 0600 two words.bin\n#0V%T\nend  \n"
           "not a block: begin 644\nbegin 9 x\n"),
      {{"MainBody", "",
        "Here it is:\r\n\r\nbegin 644 cat.txt\r\n#0V%T\r\n`\r\nend\r\nand again:\r\nbegin 0600 two "
        "words.bin\r\n#0V%T\r\nend  \r\nnot a block: begin 644\r\nbegin 9 x\r\n"},
       {"cat.txt", "x-uue", "Cat"},
       {"two words.bin", "x-uue", "Cat"}});
  // Inside a part of a multipart, and cut off at the end of the part.
  expectParts(crlf("Content-Type: multipart/mixed; boundary=q\n\n--q\nContent-Type: text/plain\n\n"
                   "begin 644 cut.bin\n#0V%T\n--q--\n"),
              {{"", "", "begin 644 cut.bin\r\n#0V%T"}, {"cut.bin", "x-uue", "Cat"}});
}

} // namespace
} // namespace kyv::mail
