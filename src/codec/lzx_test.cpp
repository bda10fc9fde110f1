// LZX decoder: streams are built in code with the writer in lzx_test_writer.h; real compressor
// output is covered by the compiled-help container tests.
#include "codec/lzx.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "lzx_test_writer.h"
#include "trickle_source.h"

namespace kyv::codec {
namespace {

using test::LzxWriter;
using test::VerbatimBlock;

std::string textOf(const std::vector<std::byte>& b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

struct Decoded {
  LzxResult result;
  std::vector<std::byte> out;
};

Decoded decode(int windowBits, const std::vector<std::byte>& in, std::size_t outLength) {
  LzxDecoderState d;
  EXPECT_EQ(d.prepare(windowBits), LzxResult::Ok);
  Decoded r{LzxResult::Ok, std::vector<std::byte>(outLength, std::byte{0xAA})};
  r.result = d.expand(in, r.out);
  return r;
}

// Deterministic filler with some repetition.
std::string filler(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>('a' + (x >> 16) % 26);
  }
  return s;
}

TEST(LzxPrepare, WindowSizesAndSlots) {
  struct Case {
    int bits;
    LzxResult result;
    std::size_t window;
    unsigned slots;
  };
  for (const Case c :
       {Case{14, LzxResult::BadFormat, 0, 0}, Case{22, LzxResult::BadFormat, 0, 0},
        Case{15, LzxResult::Ok, 32768, 30}, Case{16, LzxResult::Ok, 65536, 32},
        Case{20, LzxResult::Ok, 1u << 20, 42}, Case{21, LzxResult::Ok, 1u << 21, 50}}) {
    LzxDecoderState d;
    EXPECT_EQ(d.prepare(c.bits), c.result) << c.bits;
    if (c.result == LzxResult::Ok) {
      EXPECT_EQ(d.windowSize(), c.window) << c.bits;
      EXPECT_EQ(d.positionSlots(), c.slots) << c.bits;
    }
  }
}

TEST(LzxPrepare, UnpreparedOrFailedPreparationRefusesToDecode) {
  LzxDecoderState d;
  std::vector<std::byte> out(4);
  EXPECT_EQ(d.expand({}, out), LzxResult::BadFormat);
  ASSERT_EQ(d.prepare(15), LzxResult::Ok);
  EXPECT_EQ(d.prepare(22), LzxResult::BadFormat);
  EXPECT_EQ(d.expand({}, out), LzxResult::BadFormat);
}

TEST(LzxPrepare, SmallerWindowKeepsTheBufferLargerOneReplacesIt) {
  LzxDecoderState d;
  ASSERT_EQ(d.prepare(17), LzxResult::Ok);
  ASSERT_EQ(d.prepare(15), LzxResult::Ok);
  EXPECT_EQ(d.allocatedSize(), 1u << 17);
  EXPECT_EQ(d.windowSize(), 1u << 15);
  ASSERT_EQ(d.prepare(19), LzxResult::Ok);
  EXPECT_EQ(d.allocatedSize(), 1u << 19);
}

// The published example of an uncompressed block holding "abc": E8 off, block type 3, size 3,
// 4 padding bits, R0-R2 = 1, the bytes and one pad byte.
TEST(LzxExpand, PublishedUncompressedExample) {
  const std::vector<std::uint8_t> raw = {0x00, 0x30, 0x30, 0x00, 0x01, 0x00, 0x00,
                                         0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00,
                                         0x00, 0x00, 0x61, 0x62, 0x63, 0x00};
  std::vector<std::byte> in(raw.size());
  std::memcpy(in.data(), raw.data(), raw.size());
  const auto r = decode(15, in, 3);
  EXPECT_EQ(r.result, LzxResult::Ok);
  EXPECT_EQ(textOf(r.out), "abc");
}

TEST(LzxExpand, UncompressedBlocksOddLengthPadAndRepeatedOffsets) {
  // Block 1 is odd (pad byte follows); block 2 sets R0 = 3 and block 3 (verbatim) repeats it.
  LzxWriter w;
  w.header(0);
  w.blockHeader(3, 5);
  w.uncompressedBody("hello");
  w.blockHeader(3, 4);
  w.uncompressedBody("-abc", 3, 1, 1);
  std::vector<std::uint8_t> mainLengths(720, 0), lengthLengths(320, 0);
  w.blockHeader(1, 7);
  VerbatimBlock v(w, 256 + 8 * 30, mainLengths, lengthLengths);
  v.repeat(0, 6); // "abcabc" from R0 = 3
  v.literal('!');
  const auto r = decode(15, w.finish(), 16);
  EXPECT_EQ(r.result, LzxResult::Ok);
  EXPECT_EQ(textOf(r.out), "hello-abcabcabc!");
}

TEST(LzxExpand, VerbatimBlockRealignsEvery32KAndResetsWhenTheWindowIsFull) {
  // Window 32 KB; two verbatim blocks of 32 KB each. The writer pads to a word boundary after
  // every 32 KB of output, and after the window is full the second block starts with a fresh
  // stream header and trees coded against zero lengths: both only decode if the decoder agrees.
  const std::string a = filler(32768, 1), b = filler(32768, 2);
  LzxWriter w;
  for (const std::string* part : {&a, &b}) {
    std::vector<std::uint8_t> mainLengths(720, 0), lengthLengths(320, 0);
    w.header(0);
    w.blockHeader(1, 32768);
    VerbatimBlock v(w, 256 + 8 * 30, mainLengths, lengthLengths);
    for (char c : *part)
      v.literal(static_cast<std::uint8_t>(c));
    w.alignWord();
  }
  const auto r = decode(15, w.finish(), a.size() + b.size());
  EXPECT_EQ(r.result, LzxResult::Ok);
  EXPECT_TRUE(textOf(r.out) == a + b);
}

TEST(LzxExpand, MatchesCopyOverlappingRuns) {
  LzxWriter w;
  std::vector<std::uint8_t> mainLengths(720, 0), lengthLengths(320, 0);
  w.header(0);
  w.blockHeader(1, 12);
  VerbatimBlock v(w, 256 + 8 * 30, mainLengths, lengthLengths);
  v.literal('x');
  v.repeat(0, 8); // R0 = 1: eight more x
  v.literal('y');
  v.repeat(0, 2);
  const auto r = decode(15, w.finish(), 12);
  EXPECT_EQ(r.result, LzxResult::Ok);
  EXPECT_EQ(textOf(r.out), "xxxxxxxxxyyy");
}

TEST(LzxExpand, InvalidBlockTypesAreBadData) {
  for (unsigned type : {0u, 4u, 5u, 6u, 7u}) {
    LzxWriter w;
    w.header(0);
    w.blockHeader(type, 10);
    const auto r = decode(15, w.finish(), 10);
    EXPECT_EQ(r.result, LzxResult::BadData) << type;
  }
}

TEST(LzxExpand, OverSubscribedPreTreeIsBadData) {
  LzxWriter w;
  w.header(0);
  w.blockHeader(1, 10);
  for (int i = 0; i < 20; ++i)
    w.bits(1, 4); // twenty 1-bit codes
  const auto r = decode(15, w.finish(), 10);
  EXPECT_EQ(r.result, LzxResult::BadData);
}

TEST(LzxExpand, RunPastTheWindowEndIsBadFormat) {
  LzxWriter w;
  w.header(0);
  w.blockHeader(3, 40000);
  w.uncompressedBody(filler(40000, 3));
  const auto stream = w.finish();
  EXPECT_EQ(decode(15, stream, 40000).result, LzxResult::BadFormat);
  // The same when the stream is decoded frame by frame: the run is checked as a whole.
  LzxDecoderState d;
  ASSERT_EQ(d.prepare(15, 40000), LzxResult::Ok);
  LzxInput in{std::span<const std::byte>(stream)};
  std::vector<std::byte> frame(LzxDecoderState::kFrameSize);
  EXPECT_EQ(d.expand(in, frame), LzxResult::BadFormat);
}

TEST(LzxExpand, InputRunningOutIsBadDataAndKeepsEarlierRuns) {
  {
    LzxWriter w;
    w.header(0);
    w.blockHeader(3, 4);
    w.uncompressedBody("good");
    w.blockHeader(3, 100);
    w.uncompressedBody(filler(100, 4));
    const auto full = w.finish();
    const std::vector<std::byte> in(full.begin(),
                                    full.begin() + static_cast<std::ptrdiff_t>(full.size() - 50));
    const auto r = decode(15, in, 104);
    EXPECT_EQ(r.result, LzxResult::BadData);
    EXPECT_EQ(textOf(r.out).substr(0, 4), "good");
  }
  {
    // A verbatim block that claims more symbols than its input holds.
    LzxWriter w;
    std::vector<std::uint8_t> mainLengths(720, 0), lengthLengths(320, 0);
    w.header(0);
    w.blockHeader(1, 20000);
    VerbatimBlock v(w, 256 + 8 * 30, mainLengths, lengthLengths);
    for (int i = 0; i < 100; ++i)
      v.literal('q');
    const auto r = decode(15, w.finish(), 20000);
    EXPECT_EQ(r.result, LzxResult::BadData);
  }
}

// The reference rule for E8 translation over whole 32 KB frames, computed here independently:
// a call E8 xx xx xx xx at stream position p, not in the last 10 bytes of its frame, holds an
// offset relative to p that is turned back into an absolute target when it falls in range.
std::string untranslate(std::string s, std::int32_t fileSize) {
  for (std::size_t frame = 0; frame < s.size(); frame += 32768) {
    const std::size_t end = std::min(s.size(), frame + 32768);
    if (end - frame <= 10)
      continue;
    for (std::size_t i = frame; i < end - 10;) {
      if (static_cast<std::uint8_t>(s[i]) != 0xE8) {
        ++i;
        continue;
      }
      std::int32_t v;
      std::memcpy(&v, s.data() + i + 1, 4);
      const auto pos = static_cast<std::int32_t>(i);
      if (v >= -pos && v < fileSize) {
        const std::int32_t r = v >= 0 ? v - pos : v + fileSize;
        std::memcpy(s.data() + i + 1, &r, 4);
      }
      i += 5;
    }
  }
  return s;
}

std::string withCall(std::string s, std::size_t at, std::int32_t value) {
  s[at] = static_cast<char>(0xE8);
  std::memcpy(s.data() + at + 1, &value, 4);
  return s;
}

TEST(LzxExpand, E8TranslationPerFrameSparesFrameTails) {
  // 40 000 bytes over two frames: calls at the start, inside the first frame's last 10 bytes
  // (left alone), at the start of the second frame, and in the section's last 10 bytes.
  std::string data(40000, 'z');
  data = withCall(data, 10, 1000);
  data = withCall(data, 100, -50);
  data = withCall(data, 32760, 7);
  data = withCall(data, 32768, 40);
  data = withCall(data, 39995, 12);
  data = withCall(data, 2000, 0x7FFFFFF0); // out of range: kept
  for (std::int32_t size : {0, 12000000}) {
    LzxWriter w;
    w.header(static_cast<std::uint32_t>(size));
    w.blockHeader(3, 32768);
    w.uncompressedBody(data.substr(0, 32768));
    w.blockHeader(3, 40000 - 32768);
    w.uncompressedBody(data.substr(32768));
    const auto r = decode(16, w.finish(), data.size());
    ASSERT_EQ(r.result, LzxResult::Ok);
    const std::string expected = size == 0 ? data : untranslate(data, size);
    EXPECT_TRUE(textOf(r.out) == expected) << size;
    if (size != 0) {
      EXPECT_NE(textOf(r.out).substr(10, 5), data.substr(10, 5));
      EXPECT_NE(textOf(r.out).substr(32768, 5), data.substr(32768, 5));
      EXPECT_EQ(textOf(r.out).substr(32760, 5), data.substr(32760, 5));
      EXPECT_EQ(textOf(r.out).substr(39995, 5), data.substr(39995, 5));
      EXPECT_EQ(textOf(r.out).substr(2000, 5), data.substr(2000, 5));
    }
  }
}

TEST(LzxExpand, FrameByFrameFromASourceGivesTheBytesOfOneCall) {
  // Window 128 KB: a verbatim block over two frame ends, an odd uncompressed block, and a
  // verbatim block again, with calls scattered through all three for the E8 translation.
  std::string data = filler(100001, 5);
  for (std::size_t at : {100u, 32770u, 49990u, 50005u, 65530u, 80000u, 99990u})
    data = withCall(data, at, static_cast<std::int32_t>(at % 3 == 0 ? 5000 : -20));
  constexpr std::uint32_t kE8 = 3000000;
  LzxWriter w;
  w.header(kE8);
  std::vector<std::uint8_t> mainLengths(720, 0), lengthLengths(320, 0);
  std::size_t pos = 0;
  const auto literals = [&](VerbatimBlock& v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      v.literal(static_cast<std::uint8_t>(data[pos++]));
      if (pos % 32768 == 0)
        w.alignWord();
    }
  };
  w.blockHeader(1, 50000);
  {
    VerbatimBlock v(w, 256 + 8 * 34, mainLengths, lengthLengths);
    literals(v, 50000);
  }
  w.blockHeader(3, 30001);
  w.uncompressedBody(std::string_view(data).substr(pos, 30001));
  pos += 30001;
  w.blockHeader(1, 20000);
  {
    VerbatimBlock v(w, 256 + 8 * 34, mainLengths, lengthLengths);
    literals(v, 20000);
  }
  const auto stream = w.finish();
  const std::string expected = untranslate(data, kE8);
  ASSERT_FALSE(expected == data);

  const auto whole = decode(17, stream, data.size());
  ASSERT_EQ(whole.result, LzxResult::Ok);
  EXPECT_TRUE(textOf(whole.out) == expected);

  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{100000}}) {
    test::TrickleSource source(stream, piece);
    LzxInput in(source);
    LzxDecoderState d;
    ASSERT_EQ(d.prepare(17, data.size()), LzxResult::Ok);
    std::vector<std::byte> out(data.size());
    for (std::size_t at = 0; at < out.size(); at += LzxDecoderState::kFrameSize) {
      const std::size_t n = std::min(LzxDecoderState::kFrameSize, out.size() - at);
      std::size_t produced = 0;
      ASSERT_EQ(d.expand(in, std::span(out).subspan(at, n), &produced), LzxResult::Ok)
          << piece << " " << at;
      EXPECT_EQ(produced, n);
    }
    EXPECT_TRUE(textOf(out) == expected) << piece;
  }
}

TEST(LzxExpand, ProcessWideDecoderDecodesOneSection) {
  LzxWriter w;
  w.header(0);
  w.blockHeader(3, 6);
  w.uncompressedBody("global");
  const auto in = w.finish();
  std::vector<std::byte> out(6);
  ASSERT_EQ(LzxPrepare(15), LzxResult::Ok);
  EXPECT_EQ(LzxExpand(in, out), LzxResult::Ok);
  EXPECT_EQ(textOf(out), "global");
}

} // namespace
} // namespace kyv::codec
