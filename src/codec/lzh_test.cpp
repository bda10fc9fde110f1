// The small LZ decoders of the old DOS archivers: LZH/ARJ static Huffman, ARJ's fast method and
// the MS-DOS compressor's LZSS. Streams are built bit by bit here; what the real archivers write
// is covered by the archive readers' tests, which run them.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codec/arj_fast.h"
#include "codec/lzh.h"
#include "codec/lzss.h"

namespace kyv::codec {
namespace {

// Most significant bit first.
class BitWriter {
public:
  BitWriter& bits(std::uint32_t value, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
      acc_ = static_cast<std::uint8_t>(acc_ << 1 | ((value >> i) & 1));
      if (++fill_ == 8) {
        out_.push_back(std::byte{acc_});
        acc_ = 0;
        fill_ = 0;
      }
    }
    return *this;
  }
  std::vector<std::byte> bytes() const {
    std::vector<std::byte> b = out_;
    if (fill_ != 0)
      b.push_back(std::byte(static_cast<std::uint8_t>(acc_ << (8 - fill_))));
    return b;
  }

private:
  std::vector<std::byte> out_;
  std::uint8_t acc_ = 0;
  unsigned fill_ = 0;
};

// Canonical codes (shorter first, then by symbol) for the lengths given; symbols not named
// have none.
struct Code {
  std::map<unsigned, std::pair<std::uint32_t, unsigned>> words;
  explicit Code(const std::map<unsigned, unsigned>& lengths) {
    std::uint32_t next = 0;
    for (unsigned len = 1; len <= 16; ++len) {
      for (const auto& [symbol, l] : lengths)
        if (l == len)
          words[symbol] = {next++, len};
      next <<= 1;
    }
  }
  void put(BitWriter& w, unsigned symbol) const {
    const auto& [word, len] = words.at(symbol);
    w.bits(word, len);
  }
};

// A small-code length set (code-length code or position code) in its 3-bit form; lengths above 6
// in the unary escape. zeroRunAfter 3 writes the 2-bit run (of 0) after the third length.
void smallLengths(BitWriter& w, const std::vector<unsigned>& lengths, unsigned countBits,
                  bool zeroRun) {
  w.bits(static_cast<std::uint32_t>(lengths.size()), countBits);
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    const unsigned l = lengths[i];
    if (l < 7) {
      w.bits(l, 3);
    } else {
      w.bits(7, 3);
      for (unsigned k = 7; k < l; ++k)
        w.bits(1, 1);
      w.bits(0, 1);
    }
    if (zeroRun && i == 2)
      w.bits(0, 2);
  }
}

// The block the tests decode: 'a' (code 0), 'b' (10) and a match of 5 (11), through a
// code-length code over symbols 2 (zero run of 20 + 9 bits), 3 (length 1) and 4 (length 2), and
// a position code of one symbol that takes no bits.
const Code kSymbolCode({{'a', 1}, {'b', 2}, {258, 2}});
const Code kLengthCode({{2, 1}, {3, 2}, {4, 2}});

void blockHeader(BitWriter& w, unsigned count, unsigned positionSymbol, unsigned positionBits) {
  w.bits(count, 16);
  smallLengths(w, {0, 0, 1, 2, 2}, 5, true);
  w.bits(259, 9);
  kLengthCode.put(w, 2);
  w.bits(97 - 20, 9);    // symbols 0-96
  kLengthCode.put(w, 3); // 'a': length 1
  kLengthCode.put(w, 4); // 'b': length 2
  kLengthCode.put(w, 2);
  w.bits(159 - 20, 9);   // symbols 99-257
  kLengthCode.put(w, 4); // 258: length 2
  w.bits(0, positionBits);
  w.bits(positionSymbol, positionBits);
}

struct Result {
  LzhStatus status;
  std::string text;
};

Result runLzh(const LzhFormat& format, const std::vector<std::byte>& stream, std::size_t size,
              std::size_t piece = SIZE_MAX) {
  LzhDecoder d;
  d.prepare(format);
  LzhInput in(stream);
  std::vector<std::byte> out(size);
  std::size_t done = 0;
  LzhStatus status = LzhStatus::Ok;
  while (done < size && status == LzhStatus::Ok) {
    std::size_t produced = 0;
    status = d.expand(in, std::span(out).subspan(done, std::min(piece, size - done)), &produced);
    done += produced;
  }
  return {status, std::string(reinterpret_cast<const char*>(out.data()), done)};
}

TEST(LzhDecoderTest, LiteralsMatchesAndBlocksInAnyPieces) {
  BitWriter w;
  // Position symbol 1: distance 2, no extra bits.
  blockHeader(w, 3, 1, 4);
  kSymbolCode.put(w, 'a');
  kSymbolCode.put(w, 'b');
  kSymbolCode.put(w, 258);
  // A second block (the count ran out) with position symbol 0 (distance 1).
  blockHeader(w, 2, 0, 4);
  kSymbolCode.put(w, 'a');
  kSymbolCode.put(w, 258);
  const std::vector<std::byte> stream = w.bytes();
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
    const Result r = runLzh(kLzhLh5, stream, 13, piece);
    EXPECT_EQ(r.status, LzhStatus::Ok) << piece;
    EXPECT_EQ(r.text, "abababa"
                      "aaaaaa")
        << piece;
  }
  // Asked for less than the stream holds, it stops there: a member never grows past its size.
  EXPECT_EQ(runLzh(kLzhLh5, stream, 4).text, "abab");
  // Asked for more, it says the input ended, with what came before.
  const Result more = runLzh(kLzhLh5, stream, 40);
  EXPECT_EQ(more.status, LzhStatus::InputEnded);
  EXPECT_EQ(more.text, "abababaaaaaaa");
}

TEST(LzhDecoderTest, WindowBeforeTheStartAndPastItsEnd) {
  // Position symbol 13: distance 2^12 + 12 bits + 1. Inside lh5's 8 KiB window (the spaces its
  // decoders start from), past lh4's 4 KiB.
  BitWriter w;
  blockHeader(w, 1, 13, 4);
  kSymbolCode.put(w, 258);
  w.bits(0, 12);
  const Result lh5 = runLzh(kLzhLh5, w.bytes(), 5);
  EXPECT_EQ(lh5.status, LzhStatus::Ok);
  EXPECT_EQ(lh5.text, "     ");
  EXPECT_EQ(runLzh(kLzhLh4, w.bytes(), 5).status, LzhStatus::BadDistance);
}

TEST(LzhDecoderTest, DamagedTablesAreRefused) {
  struct Case {
    const char* what;
    std::function<void(BitWriter&)> write;
    LzhStatus expected;
  };
  const std::vector<Case> cases{
      {"code-length code over-subscribed",
       [](BitWriter& w) {
         w.bits(1, 16);
         smallLengths(w, {1, 1, 1}, 5, true);
       },
       LzhStatus::BadTable},
      {"code-length code incomplete",
       [](BitWriter& w) {
         w.bits(1, 16);
         smallLengths(w, {1, 2, 0}, 5, true);
       },
       LzhStatus::BadTable},
      {"more code-length lengths than symbols",
       [](BitWriter& w) {
         w.bits(1, 16);
         w.bits(20, 5);
       },
       LzhStatus::BadTable},
      {"a single code-length symbol out of range",
       [](BitWriter& w) {
         w.bits(1, 16);
         w.bits(0, 5);
         w.bits(19, 5);
       },
       LzhStatus::BadTable},
      {"a length past 16 in the unary escape",
       [](BitWriter& w) {
         w.bits(1, 16);
         w.bits(1, 5);
         w.bits(7, 3);
         w.bits(0x3FF, 10);
       },
       LzhStatus::BadTable},
      {"a zero run past the last symbol",
       [](BitWriter& w) {
         w.bits(1, 16);
         smallLengths(w, {0, 0, 1, 2, 2}, 5, true);
         w.bits(510, 9);
         kLengthCode.put(w, 2);
         w.bits(511, 9); // 531 zeros
       },
       LzhStatus::BadTable},
      {"more symbol lengths than symbols",
       [](BitWriter& w) {
         w.bits(1, 16);
         smallLengths(w, {0, 0, 1, 2, 2}, 5, true);
         w.bits(511, 9);
       },
       LzhStatus::BadTable},
      {"more position lengths than symbols",
       [](BitWriter& w) {
         w.bits(1, 16);
         w.bits(0, 5);
         w.bits(0, 5); // code-length code: one symbol, 0 (a run of one zero)
         w.bits(0, 9);
         w.bits('a', 9);
         w.bits(15, 4);
       },
       LzhStatus::BadTable},
      {"an empty literal/length code",
       [](BitWriter& w) {
         w.bits(1, 16);
         smallLengths(w, {0, 0, 1, 2, 2}, 5, true);
         w.bits(20, 9);
         kLengthCode.put(w, 2);
         w.bits(0, 9); // 20 zeros: no symbol has a code
         w.bits(0, 4);
         w.bits(0, 4);
         w.bits(0, 16);
       },
       LzhStatus::BadSymbol},
  };
  for (const Case& c : cases) {
    BitWriter w;
    c.write(w);
    w.bits(0, 32);
    EXPECT_EQ(runLzh(kLzhLh5, w.bytes(), 1).status, c.expected) << c.what;
  }
}

TEST(LzhDecoderTest, CutStreamEndsWithoutWritingPadding) {
  BitWriter w;
  blockHeader(w, 100, 0, 4);
  for (int i = 0; i < 20; ++i)
    kSymbolCode.put(w, 'b');
  std::vector<std::byte> stream = w.bytes();
  // Drop the last byte: the 'b's it held are not made up from the zeros after the end.
  stream.pop_back();
  const Result r = runLzh(kLzhLh5, stream, 20);
  EXPECT_EQ(r.status, LzhStatus::InputEnded);
  EXPECT_LT(r.text.size(), 20u);
  EXPECT_EQ(r.text, std::string(r.text.size(), 'b'));
  // A header cut in its tables.
  stream.resize(6);
  EXPECT_EQ(runLzh(kLzhLh5, stream, 20).status, LzhStatus::InputEnded);
}

// ARJ's fast method: length code of widths 0-7, distance code of widths 9-13.
void coded(BitWriter& w, std::uint32_t value, unsigned first, unsigned last) {
  unsigned width = first;
  while (width < last && value >= (1u << width)) {
    w.bits(1, 1);
    value -= 1u << width;
    ++width;
  }
  if (width < last)
    w.bits(0, 1);
  w.bits(value, width);
}

TEST(ArjFastDecoderTest, LiteralsAndMatchesOfEveryWidth) {
  BitWriter w;
  std::string expected;
  for (const char c : std::string("ab")) {
    coded(w, 0, 0, 7);
    w.bits(static_cast<unsigned char>(c), 8);
    expected += c;
  }
  // Lengths 3 (code 1) up to 256 (code 254, all seven 1 bits), distances 1 to 15 872 (only 2
  // and 1 reach real bytes here; the window before the start reads as zeros).
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> matches{
      {1, 1}, {254, 1}, {2, 1}, {3, 15871}};
  for (const auto& [code, distance] : matches) {
    coded(w, code, 0, 7);
    coded(w, distance, 9, 13);
    const std::size_t length = code + 2;
    for (std::size_t i = 0; i < length; ++i)
      expected += expected.size() >= distance + 1 ? expected[expected.size() - distance - 1] : '\0';
  }
  const std::vector<std::byte> stream = w.bytes();
  for (const std::size_t piece : {std::size_t{7}, SIZE_MAX}) {
    ArjFastDecoder d;
    d.prepare();
    ArjFastInput in(stream);
    std::vector<std::byte> out(expected.size());
    std::size_t done = 0;
    while (done < out.size()) {
      std::size_t produced = 0;
      ASSERT_EQ(
          d.expand(in, std::span(out).subspan(done, std::min(piece, out.size() - done)), &produced),
          ArjFastStatus::Ok);
      done += produced;
    }
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), expected);
    std::vector<std::byte> more(8);
    std::size_t produced = 99;
    EXPECT_EQ(d.expand(in, more, &produced), ArjFastStatus::InputEnded);
    EXPECT_EQ(produced, 0u);
  }
}

TEST(LzssDecoderTest, LiteralsMatchesAndTheSpacesBeforeTheStart) {
  // Flags 1,1,0,0 (LSB first): "AB", then a match of 4 from window position 4080 (where 'A'
  // went), then one of 3 from position 0, which still holds the initial spaces.
  const std::vector<std::byte> stream{std::byte{0x03}, std::byte{'A'},  std::byte{'B'},
                                      std::byte{0xF0}, std::byte{0xF1}, std::byte{0x00},
                                      std::byte{0x00}};
  for (const std::size_t size : {std::size_t{9}, std::size_t{20}}) {
    LzssDecoder d;
    d.prepare();
    InputBuffer in(stream);
    std::vector<std::byte> out(size);
    std::size_t produced = 0;
    const LzssStatus status = d.expand(in, out, &produced);
    EXPECT_EQ(status, size == 9 ? LzssStatus::Ok : LzssStatus::InputEnded);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), produced), "ABABAB   ");
  }
}

} // namespace
} // namespace kyv::codec
