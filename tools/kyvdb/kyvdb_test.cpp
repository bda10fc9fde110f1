// The text source format: parsing, the most compact stored forms, and the round trip
// source -> database file -> listing -> the same file again.
#include <gtest/gtest.h>

#include "engine/antivirus.h"
#include "engine/database.h"
#include "source_format.h"

namespace kyv::kyvdb {
namespace {

std::vector<std::byte> build(const Source& s, double stamp = 7) {
  const Body body = BuildSignatureBody(s);
  engine::DatabaseFields f;
  f.Stamp = stamp;
  f.RecordCount = body.RecordCount;
  f.Seed = 9;
  return engine::EncodeDatabaseImage(f, body.Bytes);
}

std::string listing(const Source& s) {
  std::string out;
  for (const auto& d : s.Descriptors)
    out += FormatDescriptor(d) + "\n";
  for (const auto& sc : s.Scripts)
    out += FormatScript(sc) + "\n";
  return out;
}

constexpr std::string_view kSource = "# a comment\n"
                                     "stamp 45000.5\n"
                                     "min-version 4.1\n"
                                     "sig Trojan.Alpha 100-200 1 2 3 4\n"
                                     "sig Trojan.Beta 65535 0 0 0 0\n"
                                     "sig Trojan.Beta 10-70000 0 9 0 B flags=48 extra=CAFEBABE\r\n"
                                     "sig %20odd%25name%0A 2147483647 FFFFFFFF 0 0 0 flags=10\n"
                                     "sig % 0-5 1 0 0 0\n"
                                     "script 7 hello%20world\n"
                                     "script -3 x\n";

TEST(SourceFormat, ParsesEveryField) {
  const Source s = ParseSource(kSource);
  EXPECT_EQ(s.Stamp, 45000.5);
  EXPECT_EQ(s.MinVersion, engine::ProgramVersion);
  ASSERT_EQ(s.Descriptors.size(), 5u);
  EXPECT_EQ(s.Descriptors[2].MinSize, 10);
  EXPECT_EQ(s.Descriptors[2].MaxSize, 70000);
  EXPECT_EQ(s.Descriptors[2].Sums, (std::array<std::uint32_t, 4>{0, 9, 0, 0xB}));
  EXPECT_EQ(s.Descriptors[2].Flags, 0x48);
  EXPECT_EQ(s.Descriptors[2].Extra, 0xCAFEBABEu);
  EXPECT_EQ(s.Descriptors[3].Name, " odd%name\n");
  EXPECT_EQ(s.Descriptors[3].MinSize, 0x7FFFFFFF);
  EXPECT_EQ(s.Descriptors[4].Name, "");
  ASSERT_EQ(s.Scripts.size(), 2u);
  EXPECT_EQ(s.Scripts[0].Text, "hello world");
  EXPECT_EQ(s.Scripts[1].Id, -3);
}

TEST(SourceFormat, BadLinesNameTheLine) {
  const char* bad[] = {
      "sig A 1 2 3 4\n",            // a sum missing
      "sig A 5-4 1 0 0 0\n",        // empty range
      "sig A 2147483648 1 0 0 0\n", // size beyond 2^31-1
      "sig A 1 123456789 0 0 0\n",  // sum over 32 bits
      "sig A 1 1 0 0 0 flags=01\n", // a stored-form bit
      "sig A%2 1 1 0 0 0\n",        // cut escape
      "script 1 %\n",               // empty script text
      "frobnicate\n",
      "sig A 1 1 0 0 0\nneuro n d\n", // neural lines do not mix
  };
  for (const char* text : bad) {
    SCOPED_TRACE(text);
    EXPECT_THROW(ParseSource(text), SourceError);
  }
  try {
    ParseSource("\n\nsig A x 1 0 0 0\n");
  } catch (const SourceError& e) {
    EXPECT_TRUE(std::string(e.what()).starts_with("line 3:")) << e.what();
  }
}

TEST(SourceFormat, BuildListBuildRoundTrip) {
  const Source s = ParseSource(kSource);
  std::vector<std::byte> image = build(s);
  const std::vector<std::byte> stored = image;
  ASSERT_TRUE(engine::DecodeDatabaseImage(image));
  const Source back = ReadSignatureBody(image);
  EXPECT_EQ(listing(back), listing(s));
  EXPECT_EQ(build(ParseSource(listing(back))), stored);

  // The engine loads what the tool built, with the same descriptors.
  engine::TAntivirus av("base");
  ASSERT_TRUE(av.LoadSignatureImage(stored, "main.kyv", true));
  ASSERT_EQ(av.Descriptors.size(), s.Descriptors.size());
  for (std::size_t k = 0; k < s.Descriptors.size(); ++k) {
    EXPECT_EQ(av.Descriptors[k].Name, s.Descriptors[k].Name);
    EXPECT_EQ(av.Descriptors[k].Sums, s.Descriptors[k].Sums);
    EXPECT_EQ(av.Descriptors[k].Flags & engine::flag::Semantic, s.Descriptors[k].Flags);
  }
}

TEST(SourceFormat, NamesAreUtf8InTextAndWindows1251Stored) {
  // "Троян" in UTF-8, in Windows-1251, and a name already written in Windows-1251.
  const std::string utf8 = "\xD0\xA2\xD1\x80\xD0\xBE\xD1\x8F\xD0\xBD";
  const std::string cp1251 = "\xD2\xF0\xEE\xFF\xED";
  const Source s = ParseSource("sig " + utf8 +
                               ".A%20b 1 1 0 0 0\n"
                               "sig " +
                               cp1251 +
                               " 1 1 0 0 0\n"
                               "sig x%E9\xE2\x82\xAC\xF0\x9F\x98\x80 1 1 0 0 0\n");
  ASSERT_EQ(s.Descriptors.size(), 3u);
  EXPECT_EQ(s.Descriptors[0].Name, cp1251 + ".A b");
  EXPECT_EQ(s.Descriptors[1].Name, cp1251);
  // An escape is a stored byte as it is; the euro sign has a place in the code page, the emoji
  // none.
  EXPECT_EQ(s.Descriptors[2].Name, "x\xE9\x88?");
  EXPECT_EQ(FormatDescriptor(s.Descriptors[0]).substr(0, 20), "sig " + utf8 + ".A%20b");
  EXPECT_EQ(FormatDescriptor(s.Descriptors[1]),
            "sig " + utf8 + " 1 00000001 00000000 00000000 00000000");
  EXPECT_EQ(UnescapeName(EscapeName("\x98\xFF%")), "\x98\xFF%"); // every byte comes back
  ASSERT_EQ(s.Warnings.size(), 1u);
  EXPECT_TRUE(s.Warnings[0].starts_with("line 3: ")) << s.Warnings[0];
  EXPECT_NE(s.Warnings[0].find("lacks"), std::string::npos) << s.Warnings[0];
}

TEST(SourceFormat, WarnsOfDescriptorsThatCanNeverMatch) {
  const Source s = ParseSource("sig A 1 1 0 0 0\nsig Zero 5-9 0 0 0 0 flags=10\nsig B 1 0 0 0 7\n");
  ASSERT_EQ(s.Descriptors.size(), 3u);
  ASSERT_EQ(s.Warnings.size(), 1u);
  EXPECT_EQ(s.Warnings[0], "line 2: Zero: all four sums are 0, so it can never match");
}

TEST(SourceFormat, ChoosesTheMostCompactForms) {
  struct Case {
    const char* what;
    const char* source;
    std::vector<std::uint8_t> lastRecord; // the stored bytes of the last record
  } cases[] = {
      {"same name, one 2-byte size, one sum",
       "sig Abc 1 1 0 0 0\nsig Abc 68 12345678 0 0 0\n",
       {0x02 | 0x04 | 0x80, 0x01 | 0x08 | 0x10 | 0x20, 68, 0, 0x78, 0x56, 0x34, 0x12}},
      {"shared prefix",
       "sig Trojan.Alpha 1 1 0 0 0\nsig Trojan.Beta 1 1 0 0 0\n",
       {0x01 | 0x04 | 0x80, 0x01 | 0x08 | 0x10 | 0x20, 5, 7, 'B', 'e', 't', 'a', 1, 0, 1, 0, 0, 0}},
      {"one common letter: full name is shorter",
       "sig Ab 1 1 0 0 0\nsig Ax 1 1 0 0 0\n",
       {0x04 | 0x80, 0x01 | 0x08 | 0x10 | 0x20, 2, 'A', 'x', 1, 0, 1, 0, 0, 0}},
      {"4-byte max, 2-byte min, no extension for sums",
       "sig N 5-70000 1 2 3 4\n",
       {0x80, 0x01, 1, 'N', 5, 0, 0x70, 0x11, 0x01, 0x00, 1, 0, 0,
        0,    2,    0, 0,   0, 3, 0,    0,    0,    4,    0, 0, 0}},
      {"large sizes need no extension byte",
       "sig N 70000-70001 1 2 3 4 extra=5\n",
       {0x20, 1, 'N', 0x70, 0x11, 1, 0, 0x71, 0x11, 1, 0, 1, 0, 0, 0, 2,
        0,    0, 0,   3,    0,    0, 0, 4,    0,    0, 0, 5, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Source s = ParseSource(c.source);
    Source head = s;
    head.Descriptors.pop_back();
    const Body all = BuildSignatureBody(s);
    const Body before = BuildSignatureBody(head);
    const std::vector<std::byte> last(
        all.Bytes.begin() + static_cast<std::ptrdiff_t>(before.Bytes.size()), all.Bytes.end());
    std::vector<std::byte> expected;
    for (const std::uint8_t b : c.lastRecord)
      expected.push_back(static_cast<std::byte>(b));
    EXPECT_EQ(last, expected);
  }
}

TEST(CodeRecords, RoundTrip) {
  const std::vector<CodeRecord> records = {{"unrar ", {std::byte{1}, std::byte{2}}}, {"", {}}};
  const Body body = BuildCodeBody(records);
  std::vector<std::byte> image(engine::kHeaderSize);
  image[17] = std::byte{2};
  image.insert(image.end(), body.Bytes.begin(), body.Bytes.end());
  const std::vector<CodeRecord> back = ReadCodeBody(image);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].Name, "unrar ");
  EXPECT_EQ(back[0].Code, records[0].Code);
  EXPECT_EQ(back[1].Name, "");
  image.pop_back();
  image.pop_back();
  EXPECT_THROW(ReadCodeBody(image), engine::ETruncatedBody);
}

} // namespace
} // namespace kyv::kyvdb
