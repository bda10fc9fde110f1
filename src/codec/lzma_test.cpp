// LZMA and LZMA2 decoder: streams made by xz (small ones inline, larger ones made by the
// installed xz), fed and drained in odd pieces, and damaged streams built from them.
#include "codec/lzma.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "test_support.h"

namespace kyv::codec {
namespace {

using Bytes = std::vector<std::byte>;

Bytes bytes(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v)
    b.push_back(static_cast<std::byte>(x));
  return b;
}

const std::string kShortText = "abracadabra abracadabra abracadabra, cadabra!";

// `xz --format=lzma`: 5 property bytes (lc 3, lp 0, pb 2, 8 MiB), size all ones, then the
// stream, which ends with the end marker.
const Bytes kShortLzmaFile =
    bytes({0x5d, 0x00, 0x00, 0x80, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00,
           0x30, 0x98, 0x8a, 0xaa, 0x9a, 0x59, 0xf5, 0x11, 0xd8, 0x3e, 0xb3, 0x8f, 0xcd, 0xa4,
           0x58, 0x49, 0x1f, 0x0c, 0xbd, 0xb9, 0x6b, 0xff, 0xff, 0x7a, 0xe0, 0x00, 0x00});
// `xz --format=raw --lzma2=preset=0`: one LZMA chunk (control E0: dictionary reset and new
// properties; 45 bytes out, 22 in; properties 5D), then the end byte.
const Bytes kShortLzma2 =
    bytes({0xe0, 0x00, 0x2c, 0x00, 0x15, 0x5d, 0x00, 0x30, 0x98, 0x8a, 0xaa, 0x9a, 0x59, 0xf5, 0x11,
           0xd8, 0x3e, 0xb3, 0x8f, 0xcd, 0xa4, 0x58, 0x49, 0x1f, 0x0b, 0xb2, 0xbb, 0xa0, 0x00});

// A source that gives at most `piece` bytes per read, so the decoder's input runs dry often.
class TrickleSource final : public ByteSource {
public:
  TrickleSource(std::span<const std::byte> b, std::size_t piece) : inner_(b), piece_(piece) {}
  std::size_t read(std::span<std::byte> out) override {
    return inner_.read(out.first(std::min(out.size(), piece_)));
  }
  bool seek(std::uint64_t o) override { return inner_.seek(o); }
  std::uint64_t size() const override { return inner_.size(); }
  std::uint64_t position() const override { return inner_.position(); }

private:
  MemorySource inner_;
  std::size_t piece_;
};

struct Result {
  LzmaStatus status;
  Bytes out;
  std::uint64_t consumed = 0;
};

enum class Kind { Lzma, Lzma2 };

LzmaStatus start(LzmaDecoder& d, Kind kind, std::span<const std::byte> props, std::uint64_t size) {
  if (kind == Kind::Lzma2)
    return d.startLzma2(*lzma2DictionarySize(static_cast<std::uint8_t>(props[0])), size);
  const auto p = parseLzmaProperties(props);
  return p ? d.startLzma(*p, size) : LzmaStatus::BadProperties;
}

// Whole stream through run() into a sink.
Result runAll(Kind kind, std::span<const std::byte> props, std::span<const std::byte> stream,
              std::uint64_t size = kLzmaUnknownSize) {
  LzmaDecoder d;
  Result r{start(d, kind, props, size), {}};
  if (r.status != LzmaStatus::Ok)
    return r;
  MemorySource src(stream);
  InputBuffer in(src);
  VectorSink sink;
  r.status = d.run(in, sink);
  r.out = sink.bytes();
  r.consumed = in.consumed();
  EXPECT_EQ(d.produced(), r.out.size());
  return r;
}

// The same through read() in pieces of `outPiece` bytes, from a source of `inPiece`-byte reads.
Result readInPieces(Kind kind, std::span<const std::byte> props, std::span<const std::byte> stream,
                    std::size_t inPiece, std::size_t outPiece,
                    std::uint64_t size = kLzmaUnknownSize) {
  LzmaDecoder d;
  Result r{start(d, kind, props, size), {}};
  if (r.status != LzmaStatus::Ok)
    return r;
  TrickleSource src(stream, inPiece);
  InputBuffer in(src);
  Bytes piece(outPiece);
  for (;;) {
    std::size_t n = 0;
    r.status = d.read(in, piece, n);
    EXPECT_LE(n, piece.size());
    r.out.insert(r.out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
    if (r.status != LzmaStatus::Ok)
      break;
    EXPECT_EQ(n, piece.size()); // Ok only when the piece is full
  }
  r.consumed = in.consumed();
  return r;
}

TEST(Lzma, ShortStreamsMadeByXz) {
  const auto props = std::span(kShortLzmaFile).first(5);
  const auto stream = std::span(kShortLzmaFile).subspan(13);
  for (const std::size_t inPiece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
    for (const std::size_t outPiece : {std::size_t{1}, std::size_t{5}, std::size_t{100}}) {
      Result a = readInPieces(Kind::Lzma, props, stream, inPiece, outPiece);
      EXPECT_EQ(a.status, LzmaStatus::StreamEnd);
      EXPECT_EQ(test::textOf(a.out), kShortText);
      EXPECT_EQ(a.consumed, stream.size());
      Result b = readInPieces(Kind::Lzma2, bytes({12}), kShortLzma2, inPiece, outPiece);
      EXPECT_EQ(b.status, LzmaStatus::StreamEnd);
      EXPECT_EQ(test::textOf(b.out), kShortText);
      EXPECT_EQ(b.consumed, kShortLzma2.size());
    }
  }
  // With the size known the decoder stops there and leaves the end marker unread.
  Result sized = runAll(Kind::Lzma, props, stream, kShortText.size());
  EXPECT_EQ(sized.status, LzmaStatus::StreamEnd);
  EXPECT_EQ(test::textOf(sized.out), kShortText);
  EXPECT_LT(sized.consumed, stream.size());
  // A shorter declared size ends inside a match: delivered up to there, then reported.
  Result cut = runAll(Kind::Lzma, props, stream, 14);
  EXPECT_EQ(cut.status, LzmaStatus::MatchPastEnd);
  EXPECT_EQ(test::textOf(cut.out), kShortText.substr(0, 14));
  // A size beyond the end marker.
  EXPECT_EQ(runAll(Kind::Lzma, props, stream, kShortText.size() + 1).status,
            LzmaStatus::EarlyEndMarker);
}

TEST(Lzma, CutShortAnywhereIsTruncatedWithAPrefixDelivered) {
  const auto props = std::span(kShortLzmaFile).first(5);
  const auto stream = std::span(kShortLzmaFile).subspan(13);
  for (std::size_t n = 0; n < stream.size(); ++n) {
    Result r = readInPieces(Kind::Lzma, props, stream.first(n), 2, 7);
    EXPECT_EQ(r.status, LzmaStatus::Truncated) << n;
    EXPECT_EQ(test::textOf(r.out), kShortText.substr(0, r.out.size())) << n;
  }
  for (std::size_t n = 0; n < kShortLzma2.size(); ++n) {
    Result r = runAll(Kind::Lzma2, bytes({12}), std::span(kShortLzma2).first(n));
    EXPECT_EQ(r.status, LzmaStatus::Truncated) << n;
    EXPECT_EQ(test::textOf(r.out), kShortText.substr(0, r.out.size())) << n;
  }
}

TEST(Lzma, DamagedAndRefusedStreams) {
  const Bytes lzmaProps(kShortLzmaFile.begin(), kShortLzmaFile.begin() + 5);
  const Bytes lzmaStream(kShortLzmaFile.begin() + 13, kShortLzmaFile.end());
  auto patched = [](Bytes b, std::size_t at, int v) {
    b[at] = static_cast<std::byte>(v);
    return b;
  };
  struct Case {
    const char* what;
    Kind kind;
    Bytes props;
    Bytes stream;
    LzmaStatus status;
  } cases[] = {
      {"first range byte not zero", Kind::Lzma, lzmaProps, patched(lzmaStream, 0, 1),
       LzmaStatus::BadRangeStart},
      {"LZMA2 range start", Kind::Lzma2, bytes({12}), patched(kShortLzma2, 6, 1),
       LzmaStatus::BadRangeStart},
      {"properties byte 225", Kind::Lzma, patched(lzmaProps, 0, 225), lzmaStream,
       LzmaStatus::BadProperties},
      {"LZMA2 lc + lp = 5", Kind::Lzma2, bytes({12}), patched(kShortLzma2, 5, (1 * 5 + 1) * 9 + 4),
       LzmaStatus::BadProperties},
      {"LZMA2 control 3", Kind::Lzma2, bytes({12}), bytes({3}), LzmaStatus::BadChunk},
      {"LZMA2 first chunk keeps the dictionary", Kind::Lzma2, bytes({12}),
       patched(kShortLzma2, 0, 0xC0), LzmaStatus::BadChunk},
      {"LZMA2 chunk without properties", Kind::Lzma2, bytes({12}),
       bytes({0x01, 0x00, 0x00, 'a', 0xA0, 0x00, 0x00, 0x00, 0x05, 0x00, 0, 0, 0, 0, 0x00}),
       LzmaStatus::BadChunk},
      {"LZMA2 packed size too large", Kind::Lzma2, bytes({12}), patched(kShortLzma2, 4, 0x16),
       LzmaStatus::ChunkSizeMismatch},
      {"LZMA2 unpacked size one too small", Kind::Lzma2, bytes({12}), patched(kShortLzma2, 2, 0x2b),
       LzmaStatus::BadFinish},
      // 1 GiB declared, size unknown: more than the plug-in may take.
      {"dictionary too large", Kind::Lzma, bytes({0x5d, 0, 0, 0, 0x40}), lzmaStream,
       LzmaStatus::DictionaryTooLarge},
      {"LZMA2 dictionary too large", Kind::Lzma2, bytes({36}), kShortLzma2,
       LzmaStatus::DictionaryTooLarge},
  };
  for (const Case& c : cases) {
    Result r = runAll(c.kind, c.props, c.stream);
    EXPECT_EQ(r.status, c.status) << c.what;
    EXPECT_EQ(test::textOf(r.out), kShortText.substr(0, r.out.size())) << c.what;
  }
  // A stored chunk alone is a whole stream.
  Result far = runAll(Kind::Lzma2, bytes({12}), bytes({0x01, 0x00, 0x00, 'x', 0x00}));
  EXPECT_EQ(far.status, LzmaStatus::StreamEnd);
  EXPECT_EQ(test::textOf(far.out), "x");
  // The same 1 GiB dictionary is fine when the stream declares a small output.
  LzmaDecoder d;
  EXPECT_EQ(d.startLzma(*parseLzmaProperties(bytes({0x5d, 0, 0, 0, 0x40})), 45), LzmaStatus::Ok);
  EXPECT_LT(d.windowSize(), 8192u);
  EXPECT_EQ(d.startLzma2(*lzma2DictionarySize(40), 100), LzmaStatus::Ok);
  EXPECT_LT(d.windowSize(), 8192u);
}

TEST(Lzma, PropertyBytes) {
  const auto p = decodeLzmaPropertiesByte(0x5d);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->lc, 3u);
  EXPECT_EQ(p->lp, 0u);
  EXPECT_EQ(p->pb, 2u);
  EXPECT_TRUE(decodeLzmaPropertiesByte(224));
  EXPECT_FALSE(decodeLzmaPropertiesByte(225));
  EXPECT_EQ(*lzma2DictionarySize(0), 4096u);
  EXPECT_EQ(*lzma2DictionarySize(1), 6144u);
  EXPECT_EQ(*lzma2DictionarySize(18), 2u << 20);
  EXPECT_EQ(*lzma2DictionarySize(39), 3u << 30);
  EXPECT_EQ(*lzma2DictionarySize(40), 0xFFFFFFFFu);
  EXPECT_FALSE(lzma2DictionarySize(41));
}

TEST(Lzma, SinkRefusalAndOutputLimitStop) {
  const auto props = std::span(kShortLzmaFile).first(5);
  const auto stream = std::span(kShortLzmaFile).subspan(13);
  for (const std::uint64_t limit : {0u, 1u, 20u, 44u}) {
    LzmaDecoder d;
    ASSERT_EQ(d.startLzma(*parseLzmaProperties(props), kLzmaUnknownSize), LzmaStatus::Ok);
    MemorySource src(stream);
    InputBuffer in(src);
    VectorSink sink;
    EXPECT_EQ(d.run(in, sink, limit), LzmaStatus::LimitReached) << limit;
    EXPECT_EQ(sink.bytes().size(), limit);
  }
  LzmaDecoder d;
  ASSERT_EQ(d.startLzma(*parseLzmaProperties(props), kLzmaUnknownSize), LzmaStatus::Ok);
  MemorySource src(stream);
  InputBuffer in(src);
  VectorSink refusing(10);
  EXPECT_EQ(d.run(in, refusing), LzmaStatus::WriteRefused);
  // A limit that falls on the end still reports the end.
  LzmaDecoder e;
  ASSERT_EQ(e.startLzma(*parseLzmaProperties(props), kShortText.size()), LzmaStatus::Ok);
  MemorySource src2(stream);
  InputBuffer in2(src2);
  VectorSink sink;
  EXPECT_EQ(e.run(in2, sink, kShortText.size()), LzmaStatus::StreamEnd);
}

// Larger data through the installed xz: text, binary with repeats and incompressible runs (so
// LZMA2 stores some chunks), property variants, and dictionaries far smaller than the data, so
// the window wraps many times.
std::string textData(std::size_t n) {
  std::string s;
  std::uint32_t x = 7;
  static const char* words[] = {"mail ", "scanner ", "attachment ", "archive ",
                                "zip ",  "the ",     "of ",         "\n"};
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 8];
    if ((x >> 8) % 5 == 0)
      s += std::to_string(x % 1000);
  }
  s.resize(n);
  return s;
}

std::string binaryData(std::size_t n) {
  std::string s;
  std::uint32_t x = 99;
  while (s.size() < n) {
    x = x * 1664525u + 1013904223u;
    const unsigned kind = (x >> 24) % 4;
    if (kind == 0 && s.size() > 70000) { // a repeat from far back
      const std::size_t from = s.size() - 1 - (x % 65536), len = 4 + (x >> 8) % 300;
      for (std::size_t i = 0; i < len; ++i)
        s.push_back(s[from + i]);
    } else if (kind == 1) { // incompressible
      for (int i = 0; i < 200; ++i) {
        x = x * 1664525u + 1013904223u;
        s.push_back(static_cast<char>(x >> 24));
      }
    } else { // small structured records
      for (int i = 0; i < 16; ++i)
        s.push_back(static_cast<char>((i * kind + (x >> 12)) & 0x1F));
    }
  }
  s.resize(n);
  return s;
}

TEST(LzmaInterop, XzRawStreams) {
  if (!test::haveProgram("xz"))
    GTEST_SKIP() << "xz not installed";
  test::ScratchDir dir;
  const std::string text = textData(1 << 20), binary = binaryData(1 << 20);
  test::writeFile(dir / "text", text);
  test::writeFile(dir / "binary", binary);
  struct Case {
    const char* filter; // xz raw filter options
    Kind kind;
    Bytes props;
  } cases[] = {
      {"--lzma1=preset=6", Kind::Lzma, bytes({0x5d, 0, 0, 0x80, 0})},
      {"--lzma1=dict=4KiB,lc=0,lp=4,pb=4", Kind::Lzma, bytes({4 * 45 + 4 * 9 + 0, 0, 0x10, 0, 0})},
      {"--lzma1=dict=64KiB,lc=4,lp=0,pb=0,mode=fast", Kind::Lzma, bytes({4, 0, 0, 1, 0})},
      {"--lzma2=preset=6", Kind::Lzma2, bytes({22})},
      {"--lzma2=preset=1e", Kind::Lzma2, bytes({18})},
      {"--lzma2=dict=4KiB,lc=1,lp=3,pb=1", Kind::Lzma2, bytes({0})},
  };
  for (const char* name : {"text", "binary"}) {
    const std::string& data = std::string(name) == "text" ? text : binary;
    for (const Case& c : cases) {
      const auto out = dir / (std::string(name) + ".raw");
      ASSERT_EQ(test::run(std::string("xz --format=raw ") + c.filter + " -c '" +
                          (dir / name).string() + "' > '" + out.string() + "'"),
                0);
      const Bytes stream = test::readFile(out);
      Result whole = runAll(c.kind, c.props, stream);
      EXPECT_EQ(whole.status, LzmaStatus::StreamEnd) << name << " " << c.filter;
      EXPECT_TRUE(test::textOf(whole.out) == data) << name << " " << c.filter;
      EXPECT_EQ(whole.consumed, stream.size()) << name << " " << c.filter;
      Result pieces = readInPieces(c.kind, c.props, stream, 1000, 65537);
      EXPECT_EQ(pieces.status, LzmaStatus::StreamEnd) << name << " " << c.filter;
      EXPECT_TRUE(pieces.out == whole.out) << name << " " << c.filter;
      if (c.kind == Kind::Lzma) {
        Result sized = runAll(c.kind, c.props, stream, data.size());
        EXPECT_EQ(sized.status, LzmaStatus::StreamEnd) << name << " " << c.filter;
        EXPECT_TRUE(sized.out == whole.out) << name << " " << c.filter;
      }
    }
  }
}

// Damage anywhere in a real stream: decoding ends (any status), never reads or writes out of
// bounds, and gives no more than the data's size plus one match.
TEST(LzmaInterop, FlippedBytesEndInAnOrderlyWay) {
  if (!test::haveProgram("xz"))
    GTEST_SKIP() << "xz not installed";
  test::ScratchDir dir;
  test::writeFile(dir / "data", binaryData(300000));
  ASSERT_EQ(test::run("xz --format=raw --lzma2=dict=64KiB -c '" + (dir / "data").string() +
                      "' > '" + (dir / "raw").string() + "'"),
            0);
  const Bytes stream = test::readFile(dir / "raw");
  std::uint32_t x = 1;
  for (int i = 0; i < 300; ++i) {
    Bytes damaged = stream;
    x = x * 1103515245u + 12345u;
    damaged[(x >> 8) % damaged.size()] ^= static_cast<std::byte>(1 + (x >> 24) % 255);
    Result r = runAll(Kind::Lzma2, bytes({10}), damaged);
    EXPECT_NE(r.status, LzmaStatus::Ok);
    EXPECT_LE(r.out.size(), 300000u + 273u);
  }
}

} // namespace
} // namespace kyv::codec
