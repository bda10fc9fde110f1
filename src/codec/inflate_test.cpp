// What the decoder does at its own interface: the output limit and the stop hook across moves of
// the window, and where a finished stream leaves its input. Decoding itself (every block type,
// damaged and truncated streams, Deflate64, real producers' data) is tested through the ZIP and
// GZIP callers' entry point in archive/inflate_test.cpp.
#include "codec/inflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
  for (const std::uint64_t limit : {1ull, 294'912ull, 300'001ull, 999'999ull}) {
    MemorySource in(packed);
    VectorSink out;
    InflateOptions options;
    options.outputLimit = limit;
    Inflater inflater(in, options);
    EXPECT_EQ(inflater.run(out), InflateStatus::LimitReached) << limit;
    EXPECT_EQ(out.bytes().size(), limit);
    EXPECT_EQ(inflater.produced(), limit);
    EXPECT_TRUE(isPrefix(out.bytes(), data));
  }
  // A limit at or past the end changes nothing.
  for (const std::uint64_t limit : {1'000'000ull, 2'000'000ull}) {
    MemorySource in(packed);
    VectorSink out;
    InflateOptions options;
    options.outputLimit = limit;
    Inflater inflater(in, options);
    EXPECT_EQ(inflater.run(out), InflateStatus::Ok) << limit;
    EXPECT_TRUE(out.bytes() == data);
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
