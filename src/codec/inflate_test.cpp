// What the decoder does at its own interface: the output limit and the stop hook across moves of
// the window, and where a finished stream leaves its input. Decoding itself (every block type,
// damaged and truncated streams, Deflate64, real producers' data) is tested through the ZIP and
// GZIP callers' entry point in archive/inflate_test.cpp.
#include "codec/inflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace kyv::codec {
namespace {

using Bytes = std::vector<std::byte>;

Bytes sample(std::size_t n) {
  Bytes b(n);
  std::uint32_t x = 1;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<std::byte>(x >> 24);
  }
  return b;
}

// Stored blocks of at most 65535 bytes (RFC 1951, 3.2.4): header bits, then LEN and NLEN.
Bytes storedStream(const Bytes& data) {
  Bytes out;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min<std::size_t>(65535, data.size() - at);
    const bool last = at + n == data.size();
    out.push_back(static_cast<std::byte>(last ? 1 : 0));
    for (const std::uint32_t v : {static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(~n)}) {
      out.push_back(static_cast<std::byte>(v & 0xFF));
      out.push_back(static_cast<std::byte>((v >> 8) & 0xFF));
    }
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
  } while (at < data.size());
  return out;
}

bool isPrefix(const Bytes& part, const Bytes& whole) {
  return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

TEST(CodecInflateTest, OutputLimitHoldsAcrossWindowMoves) {
  const Bytes data = sample(1'000'000);
  const Bytes packed = storedStream(data);
  // A limit at or past the end changes nothing.
  for (const std::uint64_t limit :
       {1ull, 294'912ull, 300'001ull, 999'999ull, 1'000'000ull, 2'000'000ull}) {
    MemorySource in(packed);
    VectorSink out;
    InflateOptions options;
    options.outputLimit = limit;
    Inflater inflater(in, options);
    if (limit < data.size()) {
      EXPECT_EQ(inflater.run(out), InflateStatus::LimitReached) << limit;
      EXPECT_EQ(out.bytes().size(), limit);
      EXPECT_EQ(inflater.produced(), limit);
      EXPECT_TRUE(isPrefix(out.bytes(), data));
    } else {
      EXPECT_EQ(inflater.run(out), InflateStatus::Ok) << limit;
      EXPECT_TRUE(out.bytes() == data);
    }
  }
}

// A few literals in one fixed-code block: the block, and the stream, may end before the decoder
// looks at the fill again, and a stream may fail there; neither writes past the limit.
TEST(CodecInflateTest, OutputLimitHoldsWhereTheStreamEnds) {
  // "abcdefgh" as one final fixed-code block (zlib, raw Deflate).
  const Bytes packed = {std::byte{0x4B}, std::byte{0x4C}, std::byte{0x4A}, std::byte{0x4E},
                        std::byte{0x49}, std::byte{0x4D}, std::byte{0x4B}, std::byte{0xCF},
                        std::byte{0x00}, std::byte{0x00}};
  const std::string text = "abcdefgh";
  struct Case {
    std::size_t inputBytes;
    std::uint64_t limit;
    InflateStatus status;
    std::size_t written;
  };
  for (const Case c :
       {Case{10, 1, InflateStatus::LimitReached, 1}, Case{10, 7, InflateStatus::LimitReached, 7},
        Case{10, 8, InflateStatus::Ok, 8}, Case{10, 9, InflateStatus::Ok, 8},
        // Cut short: the limit may come first, else the end of input does;
        // reached exactly where the data runs out, the limit counts.
        Case{7, 3, InflateStatus::LimitReached, 3}, Case{7, 6, InflateStatus::LimitReached, 6},
        Case{7, 8, InflateStatus::EndInCodes, 6}}) {
    MemorySource in(std::span<const std::byte>(packed).first(c.inputBytes));
    VectorSink out;
    InflateOptions options;
    options.outputLimit = c.limit;
    Inflater inflater(in, options);
    EXPECT_EQ(inflater.run(out), c.status) << c.limit;
    EXPECT_EQ(out.bytes().size(), c.written) << c.limit;
    EXPECT_EQ(inflater.produced(), c.written) << c.limit;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.bytes().data()), out.bytes().size()),
              text.substr(0, c.written));
  }
}

TEST(CodecInflateTest, StopHookEndsDecodingWithTheOutputWritten) {
  const Bytes data = sample(1'000'000);
  const Bytes packed = storedStream(data);
  MemorySource in(packed);
  VectorSink out;
  int calls = 0;
  InflateOptions options;
  options.onWindowMove = [&] { return ++calls == 2; };
  Inflater inflater(in, options);
  EXPECT_EQ(inflater.run(out), InflateStatus::Stopped);
  EXPECT_EQ(calls, 2);
  EXPECT_GT(out.bytes().size(), 2u * 262'144);
  EXPECT_LT(out.bytes().size(), data.size());
  EXPECT_EQ(inflater.produced(), out.bytes().size());
  EXPECT_TRUE(isPrefix(out.bytes(), data));
}

// Bytes after the final block are read ahead but given back, for a container's trailer.
TEST(CodecInflateTest, UnusedInputLeadsBackToTheEndOfTheStream) {
  for (const std::size_t size : {std::size_t{0}, std::size_t{10}, std::size_t{70'000}}) {
    const Bytes data = sample(size);
    Bytes packed = storedStream(data);
    const std::size_t streamSize = packed.size();
    const Bytes trailer = sample(100);
    packed.insert(packed.end(), trailer.begin(), trailer.end());
    MemorySource in(packed);
    VectorSink out;
    Inflater inflater(in, {});
    ASSERT_EQ(inflater.run(out), InflateStatus::Ok) << size;
    EXPECT_TRUE(out.bytes() == data);
    EXPECT_EQ(in.position() - inflater.unusedInput(), streamSize) << size;
  }
}

} // namespace
} // namespace kyv::codec
