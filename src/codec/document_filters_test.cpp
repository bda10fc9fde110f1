// The small stream decoders of documents: text encodings, run lengths, LZW and row predictors.
// Encoded data comes from Python's encoders where it has them (hex, base-85), from the LZW example
// of the document format's own description, and from small encoders written here from the rules.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "codec/lzw.h"
#include "codec/predictor.h"
#include "codec/run_length.h"
#include "codec/text_filters.h"
#include "test_support.h"

namespace kyv::codec {
namespace {

using test::bytesOf;
using test::textOf;

template <class Filter, class... Args>
std::pair<std::string, FilterStatus> pushAll(std::string_view in, std::size_t piece, Args... args) {
  VectorSink out;
  Filter filter(out, args...);
  for (std::size_t at = 0; at < in.size(); at += piece)
    if (!filter.write(bytesOf(in.substr(at, piece))))
      break;
  const FilterStatus status = filter.finish();
  return {textOf(out.bytes()), status};
}

struct TextCase {
  const char* what;
  std::string in;
  std::string out;
  FilterStatus status;
};

TEST(AsciiHexDecoder, DigitsBlanksEndAndDamage) {
  const TextCase cases[] = {
      {"pairs, either case, blanks anywhere", "48 65\n6c6C 6F", "Hello", FilterStatus::Ok},
      {"an odd last digit counts as followed by 0", "4865 7>", std::string("Hep"),
       FilterStatus::Ok},
      {"input after '>' is ignored", "41>zz", "A", FilterStatus::Ok},
      {"a bad character stops with what came before", "4142x43", "AB", FilterStatus::Damaged},
  };
  for (const TextCase& c : cases)
    for (std::size_t piece : {1u, 3u, 1000u}) {
      const auto [out, status] = pushAll<AsciiHexDecoder>(c.in, piece);
      EXPECT_EQ(out, c.out) << c.what << " in pieces of " << piece;
      EXPECT_EQ(status, c.status) << c.what;
    }
}

TEST(Ascii85Decoder, GroupsZerosPartialGroupsAndDamage) {
  // python3 -c "import base64; print(base64.a85encode(b'...'))"
  const TextCase cases[] = {
      {"whole groups", "87cURD]j7BEbo80~>", "Hello world!", FilterStatus::Ok},
      {"partial last group", "87cURD]j7BEbo7~>", "Hello world", FilterStatus::Ok},
      {"'z' is four zeros, blanks ignored", "z 5l\n~>", std::string("\0\0\0\0A", 5),
       FilterStatus::Ok},
      {"missing end mark", "87cURD]j7BEbo7", "Hello world", FilterStatus::Ok},
      {"the largest group", "s8W-!~>", "\xFF\xFF\xFF\xFF", FilterStatus::Ok},
      {"a group past 32 bits", "s8W-\"~>", "", FilterStatus::Damaged},
      {"a character outside the alphabet", "87cUR{", "Hell", FilterStatus::Damaged},
      {"one lone character at the end", "87cURD~>", "Hell", FilterStatus::Damaged},
      {"'~' not followed by '>'", "87cUR~x", "Hell", FilterStatus::Damaged},
  };
  for (const TextCase& c : cases)
    for (std::size_t piece : {1u, 1000u}) {
      const auto [out, status] = pushAll<Ascii85Decoder>(c.in, piece);
      EXPECT_EQ(out, c.out) << c.what << " in pieces of " << piece;
      EXPECT_EQ(status, c.status) << c.what;
    }
}

TEST(RunLengthDecoder, LiteralsRunsAndEnd) {
  const TextCase cases[] = {
      {"literal then run then end",
       std::string("\x02"
                   "abc"
                   "\xFE"
                   "x"
                   "\x80"
                   "junk"),
       "abcxxx", FilterStatus::Ok},
      {"longest run",
       std::string("\x81"
                   "y"),
       std::string(128, 'y'), FilterStatus::Ok},
      {"cut in a literal keeps what came",
       std::string("\x05"
                   "ab"),
       "ab", FilterStatus::Ok},
  };
  for (const TextCase& c : cases)
    for (std::size_t piece : {1u, 1000u}) {
      const auto [out, status] = pushAll<RunLengthDecoder>(c.in, piece);
      EXPECT_EQ(out, c.out) << c.what;
      EXPECT_EQ(status, c.status) << c.what;
    }
}

// Codes packed most significant bit first, each at the width the decoder expects.
std::vector<std::byte> packCodes(const std::vector<std::pair<unsigned, unsigned>>& codes) {
  std::vector<std::byte> out;
  std::uint64_t acc = 0;
  unsigned held = 0;
  for (const auto& [code, width] : codes) {
    acc = acc << width | code;
    held += width;
    while (held >= 8) {
      out.push_back(static_cast<std::byte>(acc >> (held - 8)));
      held -= 8;
    }
  }
  if (held > 0)
    out.push_back(static_cast<std::byte>(acc << (8 - held)));
  return out;
}

// A plain LZW encoder from the rules: the codes it writes, with the width each needs.
std::vector<std::pair<unsigned, unsigned>> lzwEncode(std::string_view text, bool early) {
  std::map<std::string, unsigned> table;
  unsigned next = 258, width = 9;
  std::vector<std::pair<unsigned, unsigned>> codes{{256, 9}};
  const auto codeOf = [&](const std::string& s) {
    return s.size() == 1 ? static_cast<unsigned char>(s[0]) : table.at(s);
  };
  std::string w;
  for (const char c : text) {
    const std::string wc = w + c;
    if (w.empty() || wc.size() == 1 || table.count(wc) != 0) {
      w = wc;
      continue;
    }
    codes.push_back({codeOf(w), width});
    if (next < 4096) {
      table[wc] = next++;
      // The decoder defines each entry one code later than this encoder does.
      if (width < 12 && next - 1 + (early ? 1 : 0) >= (1u << width))
        ++width;
    }
    w = std::string(1, c);
  }
  if (!w.empty())
    codes.push_back({codeOf(w), width});
  codes.push_back({257, width});
  return codes;
}

std::pair<std::string, LzwStatus> lzw(std::span<const std::byte> in, bool early = true) {
  MemorySource source(in);
  VectorSink out;
  const LzwStatus status = lzwDecode(source, out, early);
  return {textOf(out.bytes()), status};
}

TEST(Lzw, TheFormatDescriptionsExample) {
  // "-----A---B": codes 256 45 258 258 65 259 66 257, nine bits each.
  const std::vector<std::byte> in{std::byte{0x80}, std::byte{0x0B}, std::byte{0x60},
                                  std::byte{0x50}, std::byte{0x22}, std::byte{0x0C},
                                  std::byte{0x0C}, std::byte{0x85}, std::byte{0x01}};
  EXPECT_EQ(lzw(in), std::make_pair(std::string("-----A---B"), LzwStatus::Ok));
}

TEST(Lzw, WidthsGrowEarlyOrLateAndAFullTableGoesOn) {
  // Text varied enough to fill the table (past 4096 codes, no clear code) and cross every width.
  std::string text;
  for (unsigned i = 0; text.size() < 200000; ++i)
    text += std::to_string(i * 2654435761u % 100003) + (i % 7 == 0 ? "\n" : " ");
  for (const bool early : {true, false}) {
    const auto [out, status] = lzw(packCodes(lzwEncode(text, early)), early);
    EXPECT_EQ(status, LzwStatus::Ok);
    EXPECT_TRUE(out == text) << "early change " << early;
  }
}

TEST(Lzw, DamageAndEndsWithoutTheEndCode) {
  // 256 'A' then a code two past the table's end.
  EXPECT_EQ(lzw(packCodes({{256, 9}, {65, 9}, {300, 9}})),
            std::make_pair(std::string("A"), LzwStatus::BadCode));
  // The code that is being defined is allowed (KwKwK), but not as the first code.
  EXPECT_EQ(lzw(packCodes({{256, 9}, {65, 9}, {258, 9}, {257, 9}})).first, "AAA");
  EXPECT_EQ(lzw(packCodes({{256, 9}, {258, 9}})).second, LzwStatus::BadCode);
  // Input that ends without 257 keeps everything decoded.
  EXPECT_EQ(lzw(packCodes({{256, 9}, {72, 9}, {105, 9}})),
            std::make_pair(std::string("Hi"), LzwStatus::Ok));
}

std::string predict(const PredictorParams& p, std::string_view in) {
  VectorSink out;
  PredictorDecoder filter(out, p);
  for (std::size_t at = 0; at < in.size(); ++at)
    EXPECT_TRUE(filter.write(bytesOf(in.substr(at, 1))));
  EXPECT_EQ(filter.finish(), FilterStatus::Ok);
  return textOf(out.bytes());
}

TEST(PredictorDecoder, PngRowFiltersTiffDifferencesAndACutRow) {
  // Three columns of one byte: rows "\x01\x02\x03" then "\x05\x05\x05".
  const PredictorParams png{12, 1, 8, 3};
  EXPECT_EQ(predict(png, std::string("\x00\x01\x02\x03"
                                     "\x02\x04\x03\x02",
                                     8)),
            "\x01\x02\x03\x05\x05\x05");
  EXPECT_EQ(predict(png, std::string("\x01\x01\x01\x01"
                                     "\x01\x05\x00\x00",
                                     8)),
            "\x01\x02\x03\x05\x05\x05");
  // Paeth: the first row's left neighbours, the second row's upper ones.
  EXPECT_EQ(predict(png, std::string("\x04\x01\x01\x01"
                                     "\x04\x04\x00\x00",
                                     8)),
            "\x01\x02\x03\x05\x05\x05");
  // Two colours: "sub" takes the byte two back.
  EXPECT_EQ(predict({15, 2, 8, 2}, std::string("\x01\x0A\x14\x01\x02", 5)), "\x0A\x14\x0B\x16");
  // A last row cut short gives what it has.
  EXPECT_EQ(predict(png, std::string("\x00\x01\x02\x03\x02\x04", 6)), "\x01\x02\x03\x05");
  // TIFF: 8 bits, 16 bits (big-endian samples), 4 bits.
  EXPECT_EQ(predict({2, 1, 8, 3}, "\x01\x01\x01"), "\x01\x02\x03");
  EXPECT_EQ(predict({2, 1, 16, 2}, std::string("\x01\xFF\x00\x02", 4)),
            std::string("\x01\xFF\x02\x01", 4));
  EXPECT_EQ(predict({2, 1, 4, 4}, "\x31\x1F"), "\x34\x54");
  // Parameters no image has are refused up front.
  EXPECT_FALSE(predictorRowBytes({12, 1, 3, 1}));
  EXPECT_FALSE(predictorRowBytes({12, 1000, 8, 1}));
  EXPECT_FALSE(predictorRowBytes({12, 32, 16, 1 << 30}));
}

} // namespace
} // namespace kyv::codec
