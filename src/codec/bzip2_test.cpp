// bzip2 decoder: streams made by the real compressors (bzip2 at every level, lbzip2 and pbzip2
// for several streams), and streams built field by field in the test, damaged one field at a
// time.
#include "codec/bzip2.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "base/byte_io.h"
#include "reference_checksums.h"
#include "test_support.h"
#include "trickle_source.h"

namespace kyv::codec {
namespace {

using Bytes = std::vector<std::byte>;

using test::TrickleSource;

struct Decoded {
  Bytes out;
  std::vector<Bzip2Status> statuses; // every status but Ok, in order
};

// Decodes everything through output buffers of `chunk` bytes, going on past failed checks.
Decoded decode(std::span<const std::byte> in, std::size_t chunk = 65536,
               std::size_t piece = SIZE_MAX) {
  TrickleSource src(in, piece);
  Bzip2Decoder d(src);
  Decoded r;
  Bytes buffer(chunk);
  for (int guard = 0; guard < 100000000; ++guard) {
    std::size_t n = 0;
    const Bzip2Status s = d.read(buffer, n);
    r.out.insert(r.out.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    if (s == Bzip2Status::Ok) {
      EXPECT_EQ(n, chunk);
      continue;
    }
    r.statuses.push_back(s);
    if (!bzip2Recoverable(s))
      break;
  }
  return r;
}

Bytes pseudoRandom(std::size_t n, std::uint32_t seed) {
  Bytes b(n);
  for (auto& x : b) {
    seed = seed * 1103515245u + 12345u;
    x = static_cast<std::byte>(seed >> 16);
  }
  return b;
}

// Text-like data with words, long repeats and runs: something every stage has work on.
Bytes textLike(std::size_t n) {
  static const char* words[] = {
      "mail ",      "scanner ", "attachment ", "the ",
      "of ",        "\n",       "zip ",        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",
      "0123456789 "};
  Bytes b;
  std::uint32_t x = 99;
  while (b.size() < n) {
    x = x * 1103515245u + 12345u;
    const std::string_view w = words[(x >> 16) % std::size(words)];
    for (const char c : w)
      b.push_back(static_cast<std::byte>(c));
  }
  b.resize(n);
  return b;
}

// Runs the given compressor command on `data` through a scratch folder.
Bytes compress(const std::string& command, const Bytes& data) {
  test::ScratchDir dir;
  test::writeFile(dir / "in", data);
  EXPECT_EQ(
      test::run(command + " < '" + (dir / "in").string() + "' > '" + (dir / "out").string() + "'"),
      0)
      << command;
  return test::readFile(dir / "out");
}

// Runs of every length around the run-length coding's thresholds (4 equal bytes, then a count up
// to 251 more), blocks of one value and single bytes.
Bytes runs() {
  Bytes b;
  for (const std::size_t len :
       {1u, 2u, 3u, 4u, 5u, 6u, 254u, 255u, 256u, 259u, 260u, 1000u, 70000u})
    for (const int v : {0x41, 0x00, 0xFF})
      b.insert(b.end(), len, static_cast<std::byte>(v ^ static_cast<int>(len & 0x3F)));
  return b;
}

TEST(Bzip2Decode, EveryLevelTextBinaryAndRuns) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  Bytes text = textLike(2500000);
  Bytes mixed = pseudoRandom(300000, 5);
  const Bytes r = runs();
  mixed.insert(mixed.end(), r.begin(), r.end());
  const Bytes t = textLike(200000);
  mixed.insert(mixed.end(), t.begin(), t.end());
  for (int level = 1; level <= 9; ++level)
    for (const Bytes* data : {&text, &mixed}) {
      const Bytes packed = compress("bzip2 -c -" + std::to_string(level), *data);
      const Decoded d = decode(packed);
      ASSERT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd}) << level;
      ASSERT_TRUE(d.out == *data) << "level " << level << " size " << d.out.size();
    }
}

// Input in small pieces and output in buffers of odd sizes, including one byte, cut the work at
// every kind of place: inside a run's copies, between blocks, inside headers.
TEST(Bzip2Decode, AnyInputPiecesAndOutputBuffers) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  Bytes data = runs();
  const Bytes t = textLike(150000);
  data.insert(data.end(), t.begin(), t.end());
  const Bytes packed = compress("bzip2 -c -1", data);
  for (const auto& [chunk, piece] : {std::pair<std::size_t, std::size_t>{1, 1},
                                     {7, 3},
                                     {251, 4096},
                                     {65536, 1},
                                     {1000000, 17}}) {
    const Decoded d = decode(packed, chunk, piece);
    EXPECT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd}) << chunk << "/" << piece;
    EXPECT_TRUE(d.out == data) << chunk << "/" << piece;
  }
}

TEST(Bzip2Decode, EmptyAndOneByte) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  for (const Bytes& data : {Bytes{}, Bytes{std::byte{'x'}}, Bytes(4, std::byte{7})}) {
    const Decoded d = decode(compress("bzip2 -c", data));
    EXPECT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd});
    EXPECT_TRUE(d.out == data) << data.size();
  }
}

// Several streams back to back are one output; what follows the last stream ends it.
TEST(Bzip2Decode, StreamsBackToBack) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  const Bytes a = textLike(120000), b = pseudoRandom(5000, 9);
  Bytes joined = compress("bzip2 -c -1", a);
  const Bytes second = compress("bzip2 -c -9", b);
  joined.insert(joined.end(), second.begin(), second.end());
  Bytes both = a;
  both.insert(both.end(), b.begin(), b.end());
  const Decoded d = decode(joined, 4096, 1000);
  EXPECT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd});
  EXPECT_TRUE(d.out == both);

  for (const std::string_view tail : {"garbage", "B", "BZh"}) {
    Bytes withTail = joined;
    for (const char c : tail)
      withTail.push_back(static_cast<std::byte>(c));
    Bzip2Decoder dec(withTail);
    Bytes out(both.size() + 10);
    std::size_t n = 0;
    EXPECT_EQ(dec.read(out, n), Bzip2Status::StreamEnd) << tail;
    EXPECT_EQ(n, both.size());
    EXPECT_TRUE(dec.trailingData());
    EXPECT_EQ(dec.consumed(), joined.size());
  }
}

// Parallel compressors write one stream per piece of the input.
TEST(Bzip2Decode, ParallelCompressors) {
  const Bytes data = textLike(3000000);
  int ran = 0;
  for (const std::string cmd : {"lbzip2 -c -n 2 -1", "pbzip2 -c -p2 -1 -b1"}) {
    if (!test::haveProgram(cmd.substr(0, cmd.find(' '))))
      continue;
    ++ran;
    const Decoded d = decode(compress(cmd, data));
    EXPECT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd}) << cmd;
    EXPECT_TRUE(d.out == data) << cmd;
  }
  if (ran == 0)
    GTEST_SKIP() << "neither lbzip2 nor pbzip2 installed";
}

// A stream cut anywhere ends in Truncated (never a clean end), after delivering only bytes of the
// original; cut inside the end marker, all of the data is there.
TEST(Bzip2Decode, TruncatedAnywhere) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  const Bytes data = textLike(30000);
  const Bytes packed = compress("bzip2 -c -1", data);
  for (std::size_t cut = 0; cut < packed.size(); cut += cut < 64 ? 1 : 97) {
    const Decoded d = decode(std::span(packed).first(cut));
    ASSERT_EQ(d.statuses.size(), 1u) << cut;
    EXPECT_EQ(d.statuses[0], cut < 4 ? Bzip2Status::BadSignature : Bzip2Status::Truncated) << cut;
    ASSERT_LE(d.out.size(), data.size());
    EXPECT_TRUE(std::equal(d.out.begin(), d.out.end(), data.begin())) << cut;
  }
  const Decoded d = decode(std::span(packed).first(packed.size() - 2));
  EXPECT_EQ(d.statuses, std::vector{Bzip2Status::Truncated});
  EXPECT_TRUE(d.out == data);
}

// ---- Streams built field by field -------------------------------------------------------------

class BitWriter {
public:
  void put(std::uint64_t v, unsigned n) {
    for (unsigned i = n; i-- > 0;) {
      acc_ = static_cast<std::uint8_t>((acc_ << 1) | ((v >> i) & 1));
      if (++bits_ == 8) {
        out_.push_back(static_cast<std::byte>(acc_));
        acc_ = 0;
        bits_ = 0;
      }
    }
  }
  Bytes finish() {
    if (bits_ != 0)
      put(0, 8 - bits_);
    return out_;
  }

private:
  Bytes out_;
  std::uint8_t acc_ = 0;
  unsigned bits_ = 0;
};

// One block, described by its bytes before the transform (that is, after the four-and-a-count
// run coding) and every header field a test may want to get wrong.
struct BlockSpec {
  std::string coded;   // the block's bytes, run-length coded already
  int originShift = 0; // added to the true origin
  bool randomised = false;
  unsigned tables = 2;
  std::optional<std::vector<unsigned>> selectorOverride; // unary positions, for the real ones
  int lengthOverride = 0; // every code length of table 0 (0: a fitting complete code)
  bool emptyMap = false;
  std::vector<unsigned> extraSymbols; // symbols written before the end of block
  bool skipEnd = false;
  bool badCrc = false;
};

// The block's bytes after decoding: the run-length coding undone.
std::string expandRuns(const std::string& coded) {
  std::string out;
  int last = -1;
  unsigned same = 0;
  for (std::size_t i = 0; i < coded.size(); ++i) {
    const auto c = static_cast<unsigned char>(coded[i]);
    if (same == 4) {
      out.append(c, static_cast<char>(last));
      same = 0;
      continue;
    }
    same = c == last ? same + 1 : 1;
    last = c;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

struct Stream {
  Bytes bytes;
  std::string plain;
};

Stream buildStream(const std::vector<BlockSpec>& blocks, char level = '1',
                   bool badCombined = false) {
  BitWriter w;
  w.put(0x425A68, 24);
  w.put(static_cast<unsigned char>(level), 8);
  std::uint32_t combined = 0;
  std::string plain;
  for (const BlockSpec& b : blocks) {
    const std::string& s = b.coded;
    const std::size_t n = s.size();
    // Transform: sort the rotations; the last column and the place of the unrotated text.
    std::vector<std::size_t> rot(n);
    std::iota(rot.begin(), rot.end(), 0);
    std::sort(rot.begin(), rot.end(), [&](std::size_t x, std::size_t y) {
      for (std::size_t k = 0; k < n; ++k) {
        const auto a = static_cast<unsigned char>(s[(x + k) % n]),
                   c = static_cast<unsigned char>(s[(y + k) % n]);
        if (a != c)
          return a < c;
      }
      return false;
    });
    std::string last(n, '\0');
    std::size_t origin = 0;
    for (std::size_t i = 0; i < n; ++i) {
      last[i] = s[(rot[i] + n - 1) % n];
      if (rot[i] == 0)
        origin = i;
    }
    // Move-to-front and zero runs.
    std::vector<bool> used(256);
    for (const char c : s)
      used[static_cast<unsigned char>(c)] = true;
    std::vector<unsigned char> mtf;
    for (unsigned v = 0; v < 256; ++v)
      if (used[v])
        mtf.push_back(static_cast<unsigned char>(v));
    const unsigned alpha = static_cast<unsigned>(mtf.size()) + 2;
    std::vector<unsigned> syms;
    std::size_t zeros = 0;
    const auto flush = [&] {
      for (std::size_t z = zeros; z > 0; z = (z - 1) / 2)
        syms.push_back((z - 1) % 2); // bijective base 2: RUNA = 1, RUNB = 2
      zeros = 0;
    };
    for (const char c : last) {
      const auto at = static_cast<std::size_t>(
          std::find(mtf.begin(), mtf.end(), static_cast<unsigned char>(c)) - mtf.begin());
      if (at == 0) {
        ++zeros;
        continue;
      }
      flush();
      mtf.erase(mtf.begin() + static_cast<std::ptrdiff_t>(at));
      mtf.insert(mtf.begin(), static_cast<unsigned char>(c));
      syms.push_back(static_cast<unsigned>(at) + 1);
    }
    flush();
    syms.insert(syms.end(), b.extraSymbols.begin(), b.extraSymbols.end());
    if (!b.skipEnd)
      syms.push_back(alpha - 1);
    // One fixed-length code (9 bits holds 258 symbols; incomplete codes are allowed).
    const unsigned len = 9;
    const std::string out = expandRuns(s);
    const std::uint32_t crc =
        test::bitwiseCrc32Msb(std::as_bytes(std::span(out.data(), out.size())));
    const std::uint32_t stored = b.badCrc ? crc ^ 1 : crc;
    combined = ((combined << 1) | (combined >> 31)) ^ stored;
    plain += out;

    w.put(0x314159265359ull, 48);
    w.put(stored, 32);
    w.put(b.randomised ? 1 : 0, 1);
    w.put(static_cast<std::uint32_t>(static_cast<int>(origin) + b.originShift), 24);
    std::uint32_t groups = 0;
    for (unsigned g = 0; g < 16; ++g)
      for (unsigned v = 0; v < 16; ++v)
        if (used[g * 16 + v] && !b.emptyMap)
          groups |= 0x8000u >> g;
    w.put(groups, 16);
    for (unsigned g = 0; g < 16; ++g) {
      if ((groups & (0x8000u >> g)) == 0)
        continue;
      std::uint32_t bits = 0;
      for (unsigned v = 0; v < 16; ++v)
        if (used[g * 16 + v])
          bits |= 0x8000u >> v;
      w.put(bits, 16);
    }
    w.put(b.tables, 3);
    const std::vector<unsigned> selectors =
        b.selectorOverride.value_or(std::vector<unsigned>((syms.size() + 49) / 50, 0));
    w.put(selectors.size(), 15);
    for (const unsigned j : selectors) {
      w.put((1u << j) - 1, j);
      w.put(0, 1);
    }
    for (unsigned t = 0; t < std::max(b.tables, 1u) && t < 8; ++t) {
      const unsigned want =
          t == 0 && b.lengthOverride != 0 ? static_cast<unsigned>(b.lengthOverride) : len;
      w.put(want, 5);
      for (unsigned sym = 0; sym < alpha; ++sym)
        w.put(0, 1);
    }
    for (const unsigned sym : syms)
      w.put(sym, len); // canonical: equal lengths give symbol order
  }
  w.put(0x177245385090ull, 48);
  w.put(badCombined ? combined ^ 0x100 : combined, 32);
  return {w.finish(), plain};
}

std::string textOf(const Bytes& b) { return test::textOf(b); }

TEST(Bzip2Decode, HandBuiltStreams) {
  const Stream one = buildStream({{.coded = "banana bandana"},
                                  {.coded = "x"},
                                  {.coded = std::string("aaaa\x00"
                                                        "bbbb\x05"
                                                        "cccc\xFF"
                                                        "d",
                                                        16)}});
  EXPECT_EQ(one.plain, "banana bandanax"
                       "aaaa"
                       "bbbbbbbbb" +
                           std::string(259, 'c') + "d");
  const Decoded d = decode(one.bytes, 3);
  EXPECT_EQ(d.statuses, std::vector{Bzip2Status::StreamEnd});
  EXPECT_EQ(textOf(d.out), one.plain);

  // All 256 byte values in one block: the largest alphabet.
  std::string all;
  for (int v = 0; v < 256; ++v)
    all += static_cast<char>(v ^ 0x5A);
  const Stream wide = buildStream({{.coded = all + all}});
  EXPECT_EQ(textOf(decode(wide.bytes).out), wide.plain);
}

// A failed check delivers the block and says so once, then decoding goes on; a wrong combined
// check is told at the stream's end.
TEST(Bzip2Decode, FailedChecksDeliverAndGoOn) {
  const Stream s =
      buildStream({{.coded = "first"}, {.coded = "second", .badCrc = true}, {.coded = "third"}});
  const Decoded d = decode(s.bytes);
  EXPECT_EQ(textOf(d.out), "firstsecondthird");
  EXPECT_EQ(d.statuses, (std::vector{Bzip2Status::BlockCrcMismatch, Bzip2Status::StreamEnd}));

  const Stream c = buildStream({{.coded = "data"}}, '9', true);
  const Decoded dc = decode(c.bytes);
  EXPECT_EQ(textOf(dc.out), "data");
  EXPECT_EQ(dc.statuses, (std::vector{Bzip2Status::StreamCrcMismatch, Bzip2Status::StreamEnd}));

  // The one-call form reports the first failed check and delivers everything.
  MemorySource src(s.bytes);
  VectorSink sink;
  const Bzip2Result r = bzip2DecodeAll(src, sink);
  EXPECT_EQ(r.status, Bzip2Status::BlockCrcMismatch);
  EXPECT_EQ(textOf(sink.bytes()), "firstsecondthird");
  EXPECT_EQ(r.produced, 16u);
}

// Each damaged field is named by its status; nothing is delivered from the damaged block, and a
// block before it is delivered whole.
TEST(Bzip2Decode, DamagedFields) {
  struct Case {
    const char* what;
    BlockSpec block;
    Bzip2Status status;
  };
  std::string varied;
  for (int i = 0; i < 200; ++i)
    varied += static_cast<char>('a' + (i * 7) % 26);
  const std::vector<Case> cases = {
      {"one table", {.coded = "abc", .tables = 1}, Bzip2Status::BadTableCount},
      {"seven tables", {.coded = "abc", .tables = 7}, Bzip2Status::BadTableCount},
      {"selector past the tables",
       {.coded = "abc", .selectorOverride = std::vector{2u}},
       Bzip2Status::BadSelector},
      {"no selectors",
       {.coded = "abc", .selectorOverride = std::vector<unsigned>{}},
       Bzip2Status::NoSelectors},
      {"fewer selectors than groups",
       {.coded = varied, .selectorOverride = std::vector{0u}},
       Bzip2Status::BlockTooLong},
      {"code length 21", {.coded = "abc", .lengthOverride = 21}, Bzip2Status::BadCodeLength},
      {"code length 0", {.coded = "abc", .lengthOverride = 0x20}, Bzip2Status::BadCodeLength},
      {"over-subscribed code", {.coded = "abc", .lengthOverride = 1}, Bzip2Status::BadCode},
      {"origin past the block", {.coded = "abc", .originShift = 3}, Bzip2Status::BadOrigin},
      {"randomised", {.coded = "abc", .randomised = true}, Bzip2Status::Randomised},
      {"empty symbol map", {.coded = "abc", .emptyMap = true}, Bzip2Status::NoSymbols},
      {"unused code word", {.coded = "abc", .extraSymbols = {300}}, Bzip2Status::BadCode},
      {"zero run past the level",
       {.coded = "abc", .extraSymbols = std::vector<unsigned>(17, 1)},
       Bzip2Status::BlockTooLong},
      {"zero run of too many digits",
       {.coded = "abc", .extraSymbols = std::vector<unsigned>(21, 0)},
       Bzip2Status::BlockTooLong},
  };
  for (const Case& c : cases) {
    const Stream s = buildStream({{.coded = "good block"}, c.block});
    const Decoded d = decode(s.bytes);
    EXPECT_EQ(d.statuses, std::vector{c.status}) << c.what;
    EXPECT_EQ(textOf(d.out), "good block") << c.what;
  }
}

// Header-level damage: the signature, the level, the block magic.
TEST(Bzip2Decode, BadHeaders) {
  Stream s = buildStream({{.coded = "abc"}});
  for (const auto& [at, value, status] : {std::tuple{0, 'b', Bzip2Status::BadSignature},
                                          std::tuple{3, '0', Bzip2Status::BadSignature},
                                          std::tuple{3, ':', Bzip2Status::BadSignature},
                                          std::tuple{4, 'X', Bzip2Status::BadBlockMagic}}) {
    Bytes b = s.bytes;
    b[at] = static_cast<std::byte>(value);
    EXPECT_EQ(decode(b).statuses, std::vector{status}) << at;
  }
  EXPECT_EQ(decode({}).statuses, std::vector{Bzip2Status::BadSignature});
}

// Each stream's level bounds its own blocks, even after a stream of larger blocks.
TEST(Bzip2Decode, EachStreamKeepsItsLevel) {
  if (!test::haveProgram("bzip2"))
    GTEST_SKIP() << "bzip2 not installed";
  const Bytes big = pseudoRandom(600000, 3);
  Bytes joined = compress("bzip2 -c -9", big);
  BlockSpec overLong{.coded = "abc",
                     .extraSymbols = std::vector<unsigned>(16, 1)}; // a 131 070-byte run
  const Stream level1 = buildStream({overLong}, '1');
  joined.insert(joined.end(), level1.bytes.begin(), level1.bytes.end());
  const Decoded d = decode(joined);
  EXPECT_EQ(d.statuses, std::vector{Bzip2Status::BlockTooLong});
  EXPECT_TRUE(d.out == big);
}

} // namespace
} // namespace kyv::codec
