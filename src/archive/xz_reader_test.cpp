// The xz and .lzma readers against files made by the installed xz: every check type, several
// blocks, concatenated streams with padding, filters; and files damaged after the fact.
#include "archive/xz_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/lzma_alone.h"
#include "base/byte_io.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

using Bytes = std::vector<std::byte>;

struct Decoded {
  StreamOutcome outcome;
  std::string out;
};

Decoded decode(StreamOutcome (*fn)(ByteSource&, ByteSink&), const Bytes& file,
               std::size_t sinkLimit = SIZE_MAX) {
  MemorySource src(file);
  VectorSink sink(sinkLimit);
  Decoded d;
  d.outcome = fn(src, sink);
  d.out = test::textOf(sink.bytes());
  return d;
}

// Text with long repeats and some binary noise.
std::string sample(std::size_t n, unsigned seed) {
  std::string s;
  std::uint32_t x = seed;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    if (x % 7 == 0)
      for (int i = 0; i < 64; ++i)
        s.push_back(static_cast<char>((x >> (i % 24)) & 0xFF));
    else
      s += "line " + std::to_string(x % 5000) + " of the sample\n";
  }
  s.resize(n);
  return s;
}

class XzInterop : public ::testing::Test {
protected:
  void SetUp() override {
    if (!test::haveProgram("xz"))
      GTEST_SKIP() << "xz not installed";
    data_ = sample(600000, 3);
    test::writeFile(dir_ / "data", data_);
  }
  Bytes xz(const std::string& options) {
    const auto out = dir_ / "out";
    EXPECT_EQ(test::run("xz " + options + " -c '" + (dir_ / "data").string() + "' > '" +
                        out.string() + "'"),
              0);
    return test::readFile(out);
  }
  test::ScratchDir dir_;
  std::string data_;
};

TEST_F(XzInterop, ChecksBlocksAndFormats) {
  for (const char* options : {"--check=none", "--check=crc32", "--check=crc64", "--check=sha256",
                              "-0 --block-size=100000", "-9e --check=sha256 --block-size=250000",
                              "--lzma2=preset=1,dict=4KiB"}) {
    const Decoded d = decode(DecodeXz, xz(options));
    EXPECT_TRUE(d.outcome.ok()) << options << ": " << d.outcome.reason;
    EXPECT_TRUE(d.out == data_) << options;
  }
  for (const char* options :
       {"--format=lzma", "--format=lzma -0", "--format=lzma --lzma1=preset=6,lc=0,lp=2,pb=0"}) {
    const Bytes file = xz(options);
    EXPECT_TRUE(looksLikeLzmaAlone(file)) << options;
    const Decoded d = decode(DecodeLzmaAlone, file);
    EXPECT_TRUE(d.outcome.ok()) << options << ": " << d.outcome.reason;
    EXPECT_TRUE(d.out == data_) << options;
  }
}

// The branch converters and Delta before LZMA2, alone and chained, on machine code (this
// test's own program) followed by the sample: every byte comes back.
TEST_F(XzInterop, FiltersBeforeLzma2) {
  const Bytes program = test::readFile("/proc/self/exe");
  data_ = std::string(reinterpret_cast<const char*>(program.data()),
                      std::min<std::size_t>(program.size(), 3000000)) +
          data_;
  test::writeFile(dir_ / "data", data_);
  for (const char* options : {"--x86 --lzma2", "--x86=start=16 --lzma2", "--delta=dist=4 --lzma2",
                              "--x86 --delta=dist=2 --lzma2", "--arm --lzma2", "--armthumb --lzma2",
                              "--arm64 --lzma2", "--powerpc --lzma2", "--ia64 --lzma2",
                              "--sparc --lzma2", "--x86 --lzma2=preset=1 --block-size=70001"}) {
    const Decoded d = decode(DecodeXz, xz(options));
    EXPECT_TRUE(d.outcome.ok()) << options << ": " << d.outcome.reason;
    EXPECT_TRUE(d.out == data_) << options << ": " << d.out.size() << " of " << data_.size()
                                << " bytes";
  }
}

// cat a.xz b.xz, with stream padding between and after, decodes as one output, as xz -d does.
TEST_F(XzInterop, ConcatenatedStreamsAndPadding) {
  const Bytes a = xz("--check=crc32"), b = xz("--check=sha256 -1");
  Bytes file = a;
  file.insert(file.end(), 8, std::byte{0});
  file.insert(file.end(), b.begin(), b.end());
  file.insert(file.end(), 4, std::byte{0});
  Decoded d = decode(DecodeXz, file);
  EXPECT_TRUE(d.outcome.ok()) << d.outcome.reason;
  EXPECT_TRUE(d.out == data_ + data_);
  // Padding that is not a multiple of four, or other bytes after the end, is damage; the
  // streams before it are whole.
  file.push_back(std::byte{0});
  d = decode(DecodeXz, file);
  EXPECT_EQ(d.outcome.problem, StreamProblem::Damaged);
  EXPECT_TRUE(d.out == data_ + data_);
}

TEST_F(XzInterop, DamageIsReportedAndWhatWasDecodedKept) {
  const Bytes good = xz("--check=crc64 --block-size=200000");
  // The last block's check field: its last byte sits just before the index.
  Bytes badCheck = good;
  std::size_t indexStart = good.size() - 12; // footer
  indexStart -=
      (static_cast<std::size_t>(std::to_integer<unsigned>(good[good.size() - 8])) + 1) * 4;
  badCheck[indexStart - 1] ^= std::byte{0x55};
  Decoded d = decode(DecodeXz, badCheck);
  EXPECT_EQ(d.outcome.problem, StreamProblem::Damaged);
  EXPECT_EQ(d.outcome.reason, "CRC-64 mismatch");
  EXPECT_TRUE(d.out == data_); // every byte delivered all the same

  for (const std::size_t cut :
       {std::size_t{5}, std::size_t{12}, good.size() / 2, good.size() - 1}) {
    d = decode(DecodeXz, Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_EQ(d.outcome.problem, StreamProblem::Damaged) << cut;
    EXPECT_EQ(d.out, data_.substr(0, d.out.size())) << cut;
  }
  d = decode(DecodeXz, good, 100000);
  EXPECT_EQ(d.outcome.problem, StreamProblem::WriteRefused);
}

// A file of zeros far larger than what the sink takes ends at the sink's refusal.
TEST(XzReader, RefusedSinkStopsABomb) {
  if (!test::haveProgram("xz"))
    GTEST_SKIP() << "xz not installed";
  test::ScratchDir dir;
  ASSERT_EQ(test::run("head -c 200000000 /dev/zero | xz -1 > '" + (dir / "z.xz").string() + "'"),
            0);
  const Bytes file = test::readFile(dir / "z.xz");
  const Decoded d = decode(DecodeXz, file, 1 << 20);
  EXPECT_EQ(d.outcome.problem, StreamProblem::WriteRefused);
  EXPECT_LE(d.out.size(), std::size_t{1} << 20);
}

TEST(LzmaAlone, RecognitionIsConservative) {
  auto head = [](std::initializer_list<int> v) {
    Bytes b;
    for (int x : v)
      b.push_back(static_cast<std::byte>(x));
    b.resize(64);
    return b;
  };
  struct Case {
    Bytes head;
    bool lzma;
  } cases[] = {
      {head({0x5d, 0, 0, 0x80, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}), true},
      {head({0x5d, 0, 0, 0x00, 1, 0x2d, 0, 0, 0, 0, 0, 0, 0, 0}), true}, // 16 MiB, 45 bytes
      {head({0x5d, 0, 0, 0xC0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}),
       true}, // 12 MiB
      {head({225, 0, 0, 0x80, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}), false},
      {head({0x5d, 0, 0, 0x81, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}),
       false}, // odd dictionary
      {head({0x5d, 0, 0x08, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0}),
       false}, // 2 KiB
      {head({0x5d, 0, 0, 0x80, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f, 0}),
       false}, // huge size
      {head({0x5d, 0, 0, 0x80, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 1}),
       false}, // range byte
      // Declares no bytes: the "\1Ole" stream of an Office object (version 0x02000001, no flags).
      {head({1, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false},
      {head({}), false},
      {Bytes(13, std::byte{0}), false},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(looksLikeLzmaAlone(cases[i].head), cases[i].lzma) << i;
}

} // namespace
} // namespace kyv::archive
