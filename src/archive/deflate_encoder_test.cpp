// The producer-side compressor: whatever it writes must inflate back to the input, and
// repetitive input must actually shrink.
#include <gtest/gtest.h>

#include <random>

#include "archive/deflate_encoder.h"
#include "archive/inflate.h"
#include "base/byte_io.h"

namespace kyv::archive {
namespace {

std::vector<std::byte> inflateAll(const std::vector<std::byte>& packed) {
  MemorySource in(packed);
  VectorSink out;
  TAbDeflateHelper helper;
  Inflate(in, out, &helper);
  EXPECT_EQ(static_cast<std::size_t>(helper.CompressedSize) <= packed.size(), true);
  return out.bytes();
}

std::vector<std::byte> text(std::string_view s) {
  const auto b = std::as_bytes(std::span(s));
  return {b.begin(), b.end()};
}

TEST(DeflateRaw, RoundTrips) {
  std::mt19937 rng(12345);
  std::vector<std::byte> random(100000);
  for (auto& b : random)
    b = static_cast<std::byte>(rng());
  std::vector<std::byte> run(70000, std::byte{'z'}); // distance 1, length 258 matches
  std::vector<std::byte> farRepeat(40000);           // repeats at the edge of the window
  for (std::size_t k = 0; k < farRepeat.size(); ++k)
    farRepeat[k] = k < 32767 ? static_cast<std::byte>(rng()) : farRepeat[k - 32767];
  std::vector<std::byte> mixed;
  for (int k = 0; k < 3000; ++k) {
    const std::string line =
        "descriptor " + std::to_string(k % 97) + " size " + std::to_string(k * 13) + "\n";
    mixed.insert(mixed.end(), reinterpret_cast<const std::byte*>(line.data()),
                 reinterpret_cast<const std::byte*>(line.data()) + line.size());
    if (k % 50 == 0)
      mixed.insert(mixed.end(), random.begin() + k, random.begin() + k + 300);
  }
  const std::vector<std::byte> inputs[] = {
      {},
      text("a"),
      text("ab"),
      text("abcabcabcabcabcabc"),
      random,
      run,
      farRepeat,
      mixed,
      std::vector<std::byte>(65535, std::byte{1}),
      std::vector<std::byte>(65536, std::byte{2}),
  };
  for (const auto& input : inputs) {
    SCOPED_TRACE(input.size());
    const std::vector<std::byte> packed = DeflateRaw(input);
    EXPECT_EQ(inflateAll(packed), input);
  }
  EXPECT_LT(DeflateRaw(run).size(), run.size() / 50);
  EXPECT_LT(DeflateRaw(mixed).size(), mixed.size() / 2);
  // Incompressible data falls back to stored blocks: only a few bytes per 64 KiB of overhead.
  EXPECT_LE(DeflateRaw(random).size(), random.size() + 16);
}

} // namespace
} // namespace kyv::archive
