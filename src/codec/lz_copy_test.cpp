// The fast match copies against the byte-at-a-time definition, over every short distance (where
// the copies overlap) and the lengths around the word size, at positions where the ring wraps.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/lz_copy.h"

namespace kyv::codec {
namespace {

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<std::uint8_t>(i * 37 + 11);
  return v;
}

TEST(LzCopyTest, CopiesRepeatOverlapsAndWrapTheRing) {
  constexpr std::size_t kRing = 64;
  for (std::size_t distance = 1; distance <= kRing; ++distance)
    for (const std::size_t length :
         {1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 15u, 16u, 23u, 24u, 25u, 40u, 63u})
      for (const std::size_t pos : {0u, 5u, 30u, 56u, 63u}) {
        auto want = pattern(kRing);
        for (std::size_t i = 0; i < length; ++i)
          want[(pos + i) % kRing] = want[(pos + i + kRing - distance) % kRing];
        auto got = pattern(kRing);
        copyMatchRing(got.data(), kRing - 1, pos, distance, length);
        ASSERT_EQ(got, want) << distance << " " << length << " " << pos;
      }
  for (std::size_t distance = 1; distance <= 40; ++distance)
    for (std::size_t length = 1; length <= 40; ++length) {
      auto want = pattern(100 + kCopySlack);
      for (std::size_t i = 0; i < length; ++i)
        want[50 + i] = want[50 + i - distance];
      auto got = pattern(100 + kCopySlack);
      copyMatchWithSlack(got.data() + 50, distance, length);
      ASSERT_TRUE(std::equal(want.begin(), want.begin() + 50 + static_cast<std::ptrdiff_t>(length),
                             got.begin()))
          << distance << " " << length;
    }
}

} // namespace
} // namespace kyv::codec
