// Inflate tests. Streams are built here with a bit writer (small malformed cases) and a small
// greedy encoder with the fixed codes (large round trips, long Deflate64 distances and lengths),
// so the tests run the same in every build; real producers' data comes from ZIP files (the
// shared fixtures and two small files in testdata/inflate).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/ab_exception.h"
#include "archive/inflate.h"
#include "base/byte_io.h"
#include "base/endian.h"
#include "owned_source.h"
#include "reference_checksums.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using Bytes = std::vector<std::byte>;

// Writes bits least significant first, Huffman codes most significant first (RFC 1951, 3.1.1).
class BitWriter {
public:
  BitWriter& bits(std::uint32_t value, unsigned n) {
    for (unsigned i = 0; i < n; ++i)
      bit((value >> i) & 1);
    return *this;
  }
  BitWriter& code(std::uint32_t code, unsigned len) {
    for (unsigned i = len; i-- > 0;)
      bit((code >> i) & 1);
    return *this;
  }
  BitWriter& align() {
    while (used_ != 0)
      bit(0);
    return *this;
  }
  BitWriter& byte(std::uint8_t b) { return bits(b, 8); }
  Bytes done() {
    Bytes out = bytes_;
    if (used_ != 0)
      out.push_back(static_cast<std::byte>(cur_));
    return out;
  }

private:
  void bit(unsigned b) {
    cur_ |= b << used_;
    if (++used_ == 8) {
      bytes_.push_back(static_cast<std::byte>(cur_));
      cur_ = 0;
      used_ = 0;
    }
  }
  Bytes bytes_;
  unsigned cur_ = 0;
  unsigned used_ = 0;
};

// Canonical code words for a set of lengths (RFC 1951, 3.2.2).
std::vector<std::uint32_t> canonical(const std::vector<int>& lengths) {
  std::array<int, 17> count{};
  for (const int l : lengths)
    ++count[l];
  count[0] = 0;
  std::array<std::uint32_t, 17> next{};
  std::uint32_t c = 0;
  for (int l = 1; l <= 16; ++l) {
    c = (c + count[l - 1]) << 1;
    next[l] = c;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0)
      codes[s] = next[lengths[s]]++;
  return codes;
}

// Fixed-code symbols.
void fixedLit(BitWriter& w, unsigned s) {
  if (s < 144)
    w.code(0x30 + s, 8);
  else if (s < 256)
    w.code(0x190 + s - 144, 9);
  else if (s < 280)
    w.code(s - 256, 7);
  else
    w.code(0xC0 + s - 280, 8);
}
void fixedDist(BitWriter& w, unsigned s) { w.code(s, 5); }

constexpr std::array<unsigned, 29> kLenBase{3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                            15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                            67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<unsigned, 29> kLenExtra{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                             2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<unsigned, 32> kDistBase{1,    2,    3,    4,     5,     7,     9,     13,
                                             17,   25,   33,   49,    65,    97,    129,   193,
                                             257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                             4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::array<unsigned, 32> kDistExtra{0,  0,  0,  0,  1,  1,  2,  2,  3,  3, 4,
                                              4,  5,  5,  6,  6,  7,  7,  8,  8,  9, 9,
                                              10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// One match with the fixed codes. Deflate64 sends lengths above 258 as symbol 285 + 16 bits.
void fixedMatch(BitWriter& w, unsigned length, unsigned distance, bool d64) {
  if (d64 && length > 257) {
    fixedLit(w, 285);
    w.bits(length - 3, 16);
  } else {
    int s = 28;
    while (kLenBase[s] > length)
      --s;
    fixedLit(w, 257 + s);
    w.bits(length - kLenBase[s], kLenExtra[s]);
  }
  int d = d64 ? 31 : 29;
  while (kDistBase[d] > distance)
    --d;
  fixedDist(w, d);
  w.bits(distance - kDistBase[d], kDistExtra[d]);
}

// A greedy LZ77 encoder into one fixed block: enough to make long streams whose matches reach
// the whole window (32 KiB, or 64 KiB and 65538-byte lengths for Deflate64).
Bytes encodeFixed(const Bytes& data, bool d64) {
  const std::size_t window = d64 ? 65536 : 32768;
  const std::size_t maxLen = d64 ? 65538 : 258;
  std::vector<std::int64_t> head(1 << 16, -1);
  const auto hash = [&](std::size_t i) {
    return (std::to_integer<unsigned>(data[i]) * 506832829u ^
            std::to_integer<unsigned>(data[i + 1]) * 2654435761u ^
            std::to_integer<unsigned>(data[i + 2]) * 40503u) >>
               16 &
           0xFFFF;
  };
  BitWriter w;
  w.bits(1, 1).bits(1, 2);
  std::size_t i = 0;
  while (i < data.size()) {
    std::size_t best = 0, bestDist = 0;
    if (i + 3 <= data.size()) {
      const unsigned h = hash(i);
      const std::int64_t cand = head[h];
      head[h] = static_cast<std::int64_t>(i);
      // Runs of one byte match at distance 1 first.
      for (const std::size_t dist :
           {std::size_t{1}, cand >= 0 ? i - static_cast<std::size_t>(cand) : std::size_t{0}}) {
        if (dist == 0 || dist > i || dist > window)
          continue;
        std::size_t n = 0;
        while (n < maxLen && i + n < data.size() && data[i + n] == data[i + n - dist])
          ++n;
        if (n >= 3 && n > best) {
          best = n;
          bestDist = dist;
        }
      }
    }
    if (best >= 3) {
      fixedMatch(w, static_cast<unsigned>(best), static_cast<unsigned>(bestDist), d64);
      i += best;
    } else {
      fixedLit(w, std::to_integer<unsigned>(data[i]));
      ++i;
    }
  }
  fixedLit(w, 256);
  return w.done();
}

// Reference checksums, independent of checksum.cpp.
std::uint32_t refCrc(const Bytes& d) { return test::bitwiseCrc32(d); }
std::uint32_t refAdler(const Bytes& d) { return test::stepwiseAdler32(d); }

// Text-like words, then random stretches repeated 30000 and 60000 bytes later (the second only
// reachable in Deflate64) and long runs of one byte.
Bytes sampleData() {
  Bytes d;
  std::uint32_t x = 12345;
  const auto rnd = [&] {
    x = x * 1103515245u + 12345u;
    return x >> 16;
  };
  static const char* const kWords[] = {"mail ", "scan ", "zip ", "inflate ", "window ",
                                       "the ",  "of ",   "and ", "header\n"};
  while (d.size() < 50000)
    for (const char* c = kWords[rnd() % 9]; *c; ++c)
      d.push_back(static_cast<std::byte>(*c));
  const auto noise = [&](std::size_t n) {
    Bytes r(n);
    for (std::byte& b : r)
      b = static_cast<std::byte>(rnd());
    return r;
  };
  const Bytes far = noise(20000);
  const Bytes near = noise(5000);
  d.insert(d.end(), far.begin(), far.end());
  d.insert(d.end(), 40000, std::byte{'z'});
  d.insert(d.end(), far.begin(), far.end());
  d.insert(d.end(), near.begin(), near.end());
  d.insert(d.end(), 25000, std::byte{'y'});
  d.insert(d.end(), near.begin(), near.end());
  return d;
}

struct Outcome {
  bool ok = false;
  std::uint32_t result = 0;
  std::string error;
  Bytes out;
  TAbDeflateHelper helper;
};

Outcome inflate(const Bytes& in, std::uint32_t options = 0x0F,
                const std::function<void(TAbDeflateHelper&)>& tweak = {}) {
  Outcome o;
  o.helper.Options = options;
  if (tweak)
    tweak(o.helper);
  MemorySource src(in);
  VectorSink sink;
  try {
    o.result = Inflate(src, sink, &o.helper);
    o.ok = true;
  } catch (const EAbInflateError& e) {
    o.error = e.what();
  }
  o.out = sink.bytes();
  return o;
}

// Symbols of a dynamic block header: the code-length code and the sequence of its symbols.
struct Dynamic {
  int hlit = 257, hdist = 1;
  // Code-length code lengths by symbol: 0-9 and 16-18 four bits, 10-15 five (a complete code).
  std::vector<int> precode{4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5, 4, 4, 4};
  std::vector<std::pair<int, int>> sequence; // (symbol, extra value)
};

constexpr std::array<int, 19> kPrecodeOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                            11, 4,  12, 3, 13, 2, 14, 1, 15};

void writeDynamicHeader(BitWriter& w, const Dynamic& d, bool last = true) {
  w.bits(last ? 1 : 0, 1).bits(2, 2);
  w.bits(d.hlit - 257, 5).bits(d.hdist - 1, 5).bits(19 - 4, 4);
  for (const int s : kPrecodeOrder)
    w.bits(d.precode[s], 3);
  const auto codes = canonical(d.precode);
  for (const auto& [sym, extra] : d.sequence) {
    w.code(codes[sym], d.precode[sym]);
    if (sym == 16)
      w.bits(extra, 2);
    else if (sym == 17)
      w.bits(extra, 3);
    else if (sym == 18)
      w.bits(extra, 7);
  }
}

// A dynamic header giving the literal/length and distance lengths listed, as plain symbols.
Dynamic plainLengths(const std::vector<int>& lit, const std::vector<int>& dist) {
  Dynamic d;
  d.hlit = static_cast<int>(lit.size());
  d.hdist = static_cast<int>(dist.size());
  for (const int l : lit)
    d.sequence.push_back({l, 0});
  for (const int l : dist)
    d.sequence.push_back({l, 0});
  return d;
}

// 'A' and end-of-block with one-bit codes; `ndist` distance codes of length 5.
Bytes twoSymbolBlock(int ndist) {
  std::vector<int> lit(257, 0);
  lit['A'] = 1;
  lit[256] = 1;
  const std::vector<int> dist(static_cast<std::size_t>(ndist), 5);
  BitWriter w;
  writeDynamicHeader(w, plainLengths(lit, dist));
  w.code(0, 1).code(1, 1); // 'A', end
  return w.done();
}

constexpr std::string_view kNoData = "no more compressed data in stream";

// Hand-built streams: what decodes, and what fails with which internal cause.
TEST(InflateTest, HandBuiltStreams) {
  struct Case {
    const char* name;
    std::function<Bytes()> make;
    std::uint32_t options;
    std::optional<std::string> output; // expected output, or nullopt when it must fail
    std::string cause;                 // part of the failure text
  };
  const std::string x259(259, 'x');
  const std::string x1004(1004, 'x');
  const std::vector<Case> cases{
      {"empty stored block",
       [] { return BitWriter().bits(1, 1).bits(0, 2).align().bits(0, 16).bits(0xFFFF, 16).done(); },
       0x0F, "", ""},
      {"stored then fixed",
       [] {
         BitWriter w;
         w.bits(0, 1).bits(0, 2).align().bits(3, 16).bits(0xFFFC, 16).byte('a').byte('b').byte('c');
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'd');
         fixedLit(w, 256);
         return w.done();
       },
       0x0F, "abcd", ""},
      {"stored NLEN not the complement",
       [] { return BitWriter().bits(1, 1).bits(0, 2).align().bits(3, 16).bits(0xFFFD, 16).done(); },
       0x0F, std::nullopt,
       "invalid stored block (length and NOT length do not match) [InflateStoredBlock]"},
      {"stored data cut short",
       [] {
         return BitWriter()
             .bits(1, 1)
             .bits(0, 2)
             .align()
             .bits(5, 16)
             .bits(0xFFFA, 16)
             .byte('a')
             .done();
       },
       0x0F, std::nullopt, std::string(kNoData)},
      {"block type 3", [] { return BitWriter().bits(1, 1).bits(3, 2).done(); }, 0x0F, std::nullopt,
       "starting new block, but invalid block type [Inflate]"},
      {"symbol 285 is 258 in Deflate",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'x');
         fixedLit(w, 285);
         fixedDist(w, 0);
         fixedLit(w, 256);
         return w.done();
       },
       0x0F, x259, ""},
      {"symbol 285 takes 16 extra bits in Deflate64",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'x');
         fixedLit(w, 285);
         w.bits(1000, 16);
         fixedDist(w, 0);
         fixedLit(w, 256);
         return w.done();
       },
       kDfDeflate64, x1004, ""},
      {"match ends exactly at the first byte",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'a');
         fixedLit(w, 'b');
         fixedMatch(w, 5, 2, false);
         fixedLit(w, 256);
         return w.done();
       },
       0x0F, "abababa", ""},
      {"distance before the first byte",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'a');
         fixedMatch(w, 3, 2, false);
         fixedLit(w, 256);
         return w.done();
       },
       0x0F, std::nullopt, "distance reaches before the start of the output"},
      {"length symbol 286",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 286);
         return w.done();
       },
       0x0F, std::nullopt, "decoded an invalid length symbol: greater than 285 [DecodeData]"},
      {"distance symbol 30 outside Deflate64",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         fixedLit(w, 'a');
         fixedLit(w, 257);
         fixedDist(w, 30);
         w.bits(0, 14);
         return w.done();
       },
       0x0F, std::nullopt, "decoded an invalid distance symbol: greater than 29 [DecodeData]"},
      {"287 literal/length codes",
       [] {
         Dynamic d;
         d.hlit = 287;
         BitWriter w;
         writeDynamicHeader(w, d);
         return w.done();
       },
       0x0F, std::nullopt,
       "count of literal codes in dynamic block is greater than 286 [InflateDynamicBlock]"},
      {"31 distance codes in Deflate", [] { return twoSymbolBlock(31); }, 0x0F, std::nullopt,
       "count of distance codes in dynamic block is greater than 30 [InflateDynamicBlock]"},
      {"32 distance codes in Deflate64", [] { return twoSymbolBlock(32); }, kDfDeflate64, "A", ""},
      {"31 distance codes in Deflate64", [] { return twoSymbolBlock(31); }, kDfDeflate64, "A", ""},
      {"repeat with no previous length",
       [] {
         Dynamic d;
         d.sequence = {{16, 0}};
         BitWriter w;
         writeDynamicHeader(w, d);
         return w.done();
       },
       0x0F, std::nullopt, "code length repeat with no previous length"},
      {"zero run past the declared count",
       [] {
         Dynamic d;
         d.sequence = {{18, 127}, {18, 127}}; // 138 + 138 of 258
         BitWriter w;
         writeDynamicHeader(w, d);
         return w.done();
       },
       0x0F, std::nullopt, "repeated code length runs past the declared code count"},
      {"code-length code word that no symbol has",
       [] {
         Dynamic d;
         d.precode = std::vector<int>(19, 0);
         d.precode[8] = 1; // one code word, "0"; "1" is unused
         BitWriter w;
         writeDynamicHeader(w, d);
         w.code(1, 1);
         return w.done();
       },
       0x0F, std::nullopt, "decoded a code length out of range {ReadLitDistCodeLengths}"},
      {"over-subscribed literal/length code",
       [] {
         std::vector<int> lit(257, 0);
         lit['a'] = lit['b'] = lit['c'] = 1;
         BitWriter w;
         writeDynamicHeader(w, plainLengths(lit, {1}));
         return w.done();
       },
       0x0F, std::nullopt, "over-subscribed"},
      {"literal/length code word that no symbol has",
       [] {
         std::vector<int> lit(257, 0);
         lit['A'] = 1;
         lit[256] = 2; // "11" is left unused
         BitWriter w;
         writeDynamicHeader(w, plainLengths(lit, {1}));
         w.code(0, 1).code(3, 2);
         return w.done();
       },
       0x0F, std::nullopt, "decoded a code that no symbol has"},
      {"repeat crossing from literal to distance lengths",
       [] {
         // 138 + 117 zeros, symbol 255 gets length 1, and a 16 repeats it for 256 and both
         // distance codes.
         Dynamic d;
         d.hdist = 2;
         d.sequence = {{18, 127}, {18, 106}, {1, 0}, {16, 0}};
         BitWriter w;
         writeDynamicHeader(w, d);
         w.code(0, 1).code(1, 1); // literal 255, end of block
         return w.done();
       },
       0x0F, std::string(1, '\xFF'), ""},
      {"input ends in the middle of a block",
       [] {
         BitWriter w;
         w.bits(1, 1).bits(1, 2);
         for (const char c : std::string("hello"))
           fixedLit(w, static_cast<unsigned char>(c));
         return w.done();
       },
       0x0F, std::nullopt, std::string(kNoData)},
      {"no input at all", [] { return Bytes{}; }, 0x0F, std::nullopt, std::string(kNoData)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = inflate(c.make(), c.options);
    if (c.output) {
      ASSERT_TRUE(o.ok) << o.error;
      EXPECT_EQ(test::textOf(o.out), *c.output);
      EXPECT_EQ(o.result, refCrc(o.out));
      EXPECT_EQ(o.helper.NormalSize, static_cast<std::int64_t>(c.output->size()));
    } else {
      ASSERT_FALSE(o.ok);
      EXPECT_NE(o.error.find(c.cause), std::string::npos) << o.error;
      EXPECT_EQ(
          o.error.rfind(
              "KyvArc inflate error, possibly a corrupted compressed stream. (Internal cause: ", 0),
          0u)
          << o.error;
      EXPECT_EQ(o.error.back(), ')');
    }
  }
}

TEST(InflateTest, WhatWasDecodedBeforeAFailureIsWritten) {
  BitWriter w;
  w.bits(1, 1).bits(1, 2);
  for (const char c : std::string("hello"))
    fixedLit(w, static_cast<unsigned char>(c));
  fixedLit(w, 286);
  const Outcome o = inflate(w.done());
  ASSERT_FALSE(o.ok);
  EXPECT_EQ(test::textOf(o.out), "hello");
  EXPECT_EQ(o.helper.NormalSize, 5);
}

TEST(InflateTest, RoundTripsAcrossTheWholeWindow) {
  // Long enough for the window to move its history several times.
  Bytes data;
  for (int i = 0; i < 5; ++i) {
    const Bytes part = sampleData();
    data.insert(data.end(), part.begin(), part.begin() + 100000 + 20000 * i);
  }
  for (const bool d64 : {false, true}) {
    SCOPED_TRACE(d64 ? "Deflate64" : "Deflate");
    const Bytes packed = encodeFixed(data, d64);
    const std::uint32_t base = d64 ? kDfDeflate64 : 0x0F;

    Outcome o = inflate(packed, base);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_TRUE(o.out == data);
    EXPECT_EQ(o.result, refCrc(data));
    EXPECT_EQ(o.helper.NormalSize, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(o.helper.CompressedSize, static_cast<std::int64_t>(packed.size()));

    o = inflate(packed, base | kDfUseAdler32);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.result, refAdler(data));

    o = inflate(packed, base | kDfTestOnly);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_TRUE(o.out.empty());
    EXPECT_EQ(o.helper.NormalSize, static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(o.result, refCrc(data));

    // One byte per read, so every buffer refill path runs.
    test::OwnedSource slow(packed, 1);
    VectorSink sink;
    TAbDeflateHelper h;
    h.Options = base;
    EXPECT_EQ(Inflate(slow, sink, &h), refCrc(data));
    EXPECT_TRUE(sink.bytes() == data);
  }
  // The same stream in plain Deflate mode reads symbols 30/31 or 285 + 16 bits differently, so
  // it must not decode to the same bytes.
  const Outcome wrong = inflate(encodeFixed(data, true), 0x0F);
  EXPECT_FALSE(wrong.ok && wrong.out == data);
}

TEST(InflateTest, StoredBlocksLongerThanTheWindow) {
  Bytes data = sampleData();
  data.resize(200000);
  BitWriter w;
  for (std::size_t off = 0; off < data.size(); off += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - off);
    w.bits(off + n == data.size() ? 1 : 0, 1).bits(0, 2).align();
    w.bits(static_cast<std::uint32_t>(n), 16).bits(static_cast<std::uint32_t>(~n & 0xFFFF), 16);
    for (std::size_t i = 0; i < n; ++i)
      w.byte(std::to_integer<std::uint8_t>(data[off + i]));
  }
  const Outcome o = inflate(w.done());
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_TRUE(o.out == data);
  EXPECT_EQ(o.result, refCrc(data));
}

TEST(InflateTest, PartSizeAndProgressStopEarly) {
  const Bytes data = sampleData();
  const Bytes packed = encodeFixed(data, false);
  struct Case {
    std::int64_t part;
    std::size_t expect;
  };
  // The part size is capped at the window's write point (64 KiB).
  for (const Case c : {Case{1000, 1000}, Case{65536, 65536}, Case{100000, 65536}}) {
    const Outcome o = inflate(packed, 0x0F, [&](TAbDeflateHelper& h) { h.PartialSize = c.part; });
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.result, 0u);
    EXPECT_EQ(o.out.size(), c.expect);
    EXPECT_TRUE(std::equal(o.out.begin(), o.out.end(), data.begin()));
    EXPECT_EQ(o.helper.NormalSize, static_cast<std::int64_t>(c.expect));
  }
  Bytes big;
  for (int i = 0; i < 8; ++i)
    big.insert(big.end(), data.begin(), data.end());
  const Bytes bigPacked = encodeFixed(big, false);
  std::vector<int> seen;
  const Outcome o = inflate(bigPacked, 0x0F, [&](TAbDeflateHelper& h) {
    h.OnProgress = [&](int percent) {
      seen.push_back(percent);
      return seen.size() == 3;
    };
  });
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.result, 0u);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_GT(seen.back(), 0);
  EXPECT_LE(seen.back(), 100);
  EXPECT_GE(o.out.size(), 3u * 32768);
  EXPECT_LT(o.out.size(), big.size());
  EXPECT_EQ(o.helper.NormalSize, static_cast<std::int64_t>(o.out.size()));
  EXPECT_TRUE(std::equal(o.out.begin(), o.out.end(), big.begin()));
}

TEST(InflateTest, RefusingSinkFails) {
  const Bytes data = sampleData();
  const Bytes packed = encodeFixed(data, false);
  MemorySource src(packed);
  VectorSink sink(40000);
  EXPECT_THROW(Inflate(src, sink, nullptr), EAbInflateError);
  EXPECT_EQ(sink.bytes().size(), 32768u);
}

// Every prefix of a stream fails, even where the missing bits are zeros that would decode (the
// fixed end-of-block code is seven zero bits); what it writes is a prefix of the real output.
TEST(InflateTest, TruncatedStreamsWriteOnlyGoodBytes) {
  Bytes data = sampleData();
  data.resize(3000);
  const Bytes packed = encodeFixed(data, false);
  for (std::size_t n = 0; n < packed.size(); ++n) {
    const Outcome o =
        inflate(Bytes(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_FALSE(o.ok) << n;
    EXPECT_NE(o.error.find(kNoData), std::string::npos) << n << ": " << o.error;
    ASSERT_LE(o.out.size(), data.size());
    EXPECT_TRUE(std::equal(o.out.begin(), o.out.end(), data.begin())) << n;
  }
}

// Damaged streams end in an orderly way: success or EAbInflateError, never anything else.
TEST(InflateTest, CorruptedStreamsFailCleanly) {
  Bytes data = sampleData();
  data.resize(20000);
  const Bytes packed = encodeFixed(data, true);
  std::uint32_t x = 99;
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    Bytes bad = packed;
    for (int k = 0; k < 1 + round % 4; ++k) {
      x = x * 1103515245u + 12345u;
      bad[(x >> 8) % bad.size()] ^= static_cast<std::byte>(1u << ((x >> 4) % 8));
    }
    for (const std::uint32_t opt : {0x0Fu, kDfDeflate64}) {
      MemorySource src(bad);
      NullSink sink;
      TAbDeflateHelper h;
      h.Options = opt;
      try {
        (void)Inflate(src, sink, &h);
        EXPECT_EQ(sink.count(), static_cast<std::uint64_t>(h.NormalSize));
      } catch (const EAbInflateError&) {
        ++failures;
      } catch (const std::exception& e) {
        ADD_FAILURE() << "unexpected " << e.what();
      }
    }
  }
  EXPECT_GT(failures, 0);
}

// Minimal central-directory walk: (method, flags, time, crc, sizes, data) of every member.
struct ZipMember {
  int method = 0;
  int flags = 0;
  std::uint16_t time = 0;
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
  Bytes data;
};

std::vector<ZipMember> zipMembers(const Bytes& zip) {
  std::vector<ZipMember> out;
  std::size_t eocd = zip.size() >= 22 ? zip.size() - 22 : 0;
  while (eocd > 0 && loadLe32(&zip[eocd]) != 0x06054B50)
    --eocd;
  if (!inRange(zip.size(), eocd, 22) || loadLe32(&zip[eocd]) != 0x06054B50)
    return out;
  std::size_t p = loadLe32(&zip[eocd + 16]);
  const unsigned count = loadLe16(&zip[eocd + 10]);
  for (unsigned i = 0; i < count && inRange(zip.size(), p, 46); ++i) {
    ZipMember m;
    m.flags = loadLe16(&zip[p + 8]);
    m.method = loadLe16(&zip[p + 10]);
    m.time = loadLe16(&zip[p + 12]);
    m.crc = loadLe32(&zip[p + 16]);
    const std::uint32_t csize = loadLe32(&zip[p + 20]);
    m.size = loadLe32(&zip[p + 24]);
    const std::size_t local = loadLe32(&zip[p + 42]);
    if (inRange(zip.size(), local, 30)) {
      const std::size_t start =
          local + 30 + loadLe16(&zip[local + 26]) + loadLe16(&zip[local + 28]);
      if (inRange(zip.size(), start, csize))
        m.data.assign(zip.begin() + static_cast<std::ptrdiff_t>(start),
                      zip.begin() + static_cast<std::ptrdiff_t>(start + csize));
    }
    out.push_back(std::move(m));
    p += 46 + loadLe16(&zip[p + 28]) + loadLe16(&zip[p + 30]) + loadLe16(&zip[p + 32]);
  }
  return out;
}

// Deflate and Deflate64 members from other producers decode to their stored CRC and size.
TEST(InflateTest, MembersOfRealZipFiles) {
  const auto own = test::sourceDir() / "src/archive/testdata/inflate/deflate64-far-and-long.zip";
  std::vector<std::filesystem::path> files{own};
  for (const char* name :
       {"zip/corkami-deflate64.zip", "zip/commons-COMPRESS-380.zip",
        "zip/commons-COMPRESS-380-dd.zip", "zip/commons-lorem-ipsum-deflate64.zip",
        "zip/sharpcompress-Zip.deflate64.zip"}) {
    files.push_back(test::fixture(name));
  }
  int decoded = 0;
  for (const auto& f : files) {
    SCOPED_TRACE(f.string());
    for (const ZipMember& m : zipMembers(test::readFile(f))) {
      if ((m.method != 8 && m.method != 9) || (m.flags & 1))
        continue;
      const Outcome o = inflate(m.data, m.method == 9 ? kDfDeflate64 : 0x0F);
      ASSERT_TRUE(o.ok) << o.error;
      EXPECT_EQ(o.result, m.crc);
      EXPECT_EQ(o.out.size(), m.size);
      ++decoded;
    }
  }
  EXPECT_GE(decoded, 1);
  // The own file's one member reaches 49000 bytes back and repeats one byte 70000 times.
  const auto members = zipMembers(test::readFile(own));
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].method, 9);
  EXPECT_EQ(members[0].size, 168014u);
}

// Info-ZIP `zip -P secret` member (streamed, so the check byte is the high byte of the DOS time).
TEST(InflateTest, EncryptedMember) {
  const auto members = zipMembers(test::readFile(
      test::sourceDir() / "src/archive/testdata/inflate/pkware-encrypted-descriptor.zip"));
  ASSERT_EQ(members.size(), 1u);
  const ZipMember& m = members[0];
  ASSERT_TRUE(m.flags & 1);
  const std::uint32_t check = (m.flags & 8) ? std::uint32_t{m.time} << 16 : m.crc;
  const auto run = [&](const std::string& password) {
    return inflate(m.data, 0x0F, [&](TAbDeflateHelper& h) {
      h.Passphrase = password;
      h.CheckValue = check;
    });
  };
  const Outcome good = run("secret");
  ASSERT_TRUE(good.ok) << good.error;
  EXPECT_EQ(good.result, m.crc);
  EXPECT_EQ(good.out.size(), m.size);
  EXPECT_EQ(test::textOf(good.out).substr(0, 4), "1\n2\n");
  EXPECT_EQ(good.helper.CompressedSize, static_cast<std::int64_t>(m.data.size()));

  MemorySource src(m.data);
  VectorSink sink;
  TAbDeflateHelper h;
  h.Passphrase = "wrong";
  h.CheckValue = check;
  try {
    (void)Inflate(src, sink, &h);
    ADD_FAILURE() << "a wrong password decoded";
  } catch (const EAbInflatePasswordError& e) {
    EXPECT_STREQ(e.what(), "Inflate: stream is encrypted but passphrase is wrong");
  }
  EXPECT_TRUE(sink.bytes().empty());
}

} // namespace
} // namespace kyv::archive
