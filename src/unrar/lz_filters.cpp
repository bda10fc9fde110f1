#include "unrar/lz_filters.h"

#include <array>
#include <cstdlib>

#include "codec/branch_filters.h"

namespace kyv::unrar {
namespace {

constexpr std::uint32_t kX86Translation = 0x1000000;

// Picks the neighbour closest to left + upper - upperLeft (ties: left, then upper).
unsigned paeth(unsigned left, unsigned upper, unsigned upperLeft) {
  const unsigned guess = left + upper - upperLeft;
  const int pa = std::abs(static_cast<int>(guess - left));
  const int pb = std::abs(static_cast<int>(guess - upper));
  const int pc = std::abs(static_cast<int>(guess - upperLeft));
  return (pa <= pb && pa <= pc) ? left : (pb <= pc ? upper : upperLeft);
}

// The audio filter's predictor for one channel.
class AudioPredictor {
public:
  // Returns the sample whose prediction error was `stored`.
  std::uint8_t next(unsigned stored) {
    d3_ = d2_;
    d2_ = prevDelta_ - d1_;
    d1_ = prevDelta_;
    unsigned predicted =
        static_cast<unsigned>(8 * static_cast<int>(prevByte_) + k1_ * d1_ + k2_ * d2_ + k3_ * d3_);
    predicted = ((predicted >> 3) - stored) & 0xFF;
    prevDelta_ = static_cast<signed char>(predicted - prevByte_);
    prevByte_ = predicted;
    learn(static_cast<signed char>(stored) * 8);
    return static_cast<std::uint8_t>(predicted);
  }

private:
  // Sums how each weight nudge would have done; every 32 samples applies the best one.
  void learn(int dd) {
    dif_[0] += static_cast<std::uint32_t>(std::abs(dd));
    dif_[1] += static_cast<std::uint32_t>(std::abs(dd - d1_));
    dif_[2] += static_cast<std::uint32_t>(std::abs(dd + d1_));
    dif_[3] += static_cast<std::uint32_t>(std::abs(dd - d2_));
    dif_[4] += static_cast<std::uint32_t>(std::abs(dd + d2_));
    dif_[5] += static_cast<std::uint32_t>(std::abs(dd - d3_));
    dif_[6] += static_cast<std::uint32_t>(std::abs(dd + d3_));
    if ((count_++ & 0x1F) != 0)
      return;
    unsigned best = 0;
    for (unsigned j = 1; j < dif_.size(); ++j)
      if (dif_[j] < dif_[best])
        best = j;
    dif_.fill(0);
    if (best == 0)
      return;
    // 1-2 move k1 down or up, 3-4 k2, 5-6 k3, each within [-17, 16].
    int& k = best <= 2 ? k1_ : best <= 4 ? k2_ : k3_;
    if ((best & 1) != 0) {
      if (k >= -16)
        --k;
    } else if (k < 16) {
      ++k;
    }
  }

  unsigned prevByte_ = 0;
  int prevDelta_ = 0;
  int d1_ = 0, d2_ = 0, d3_ = 0;
  int k1_ = 0, k2_ = 0, k3_ = 0;
  std::array<std::uint32_t, 7> dif_{};
  std::uint32_t count_ = 0;
};

} // namespace

void undoX86(std::span<std::uint8_t> block, std::uint32_t fileOffset, bool alsoE9) {
  if (block.size() <= 4)
    return;
  codec::x86Decode(block, block.size() - 4,
                   {.start = fileOffset,
                    .operandBias = 1,
                    .positionMask = kX86Translation - 1,
                    .size = kX86Translation,
                    .alsoE9 = alsoE9});
}

void undoDelta(std::vector<std::uint8_t>& block, std::uint32_t channels) {
  const std::vector<std::uint8_t> stored(block);
  codec::deltaDecode(stored, block, channels);
}

void undoRgb(std::vector<std::uint8_t>& d, std::uint32_t stride, std::uint32_t posR) {
  const std::vector<std::uint8_t> src(d);
  const std::size_t n = d.size();
  std::size_t s = 0;
  for (std::size_t ch = 0; ch < 3; ++ch) {
    unsigned prev = 0;
    for (std::size_t i = ch; i < n; i += 3) {
      const unsigned predicted = i >= stride ? paeth(prev, d[i - stride + 3], d[i - stride]) : prev;
      d[i] = static_cast<std::uint8_t>(predicted - src[s++]);
      prev = d[i];
    }
  }
  for (std::size_t i = posR; i + 2 < n; i += 3) {
    const std::uint8_t g = d[i + 1];
    d[i] = static_cast<std::uint8_t>(d[i] + g);
    d[i + 2] = static_cast<std::uint8_t>(d[i + 2] + g);
  }
}

void undoAudio(std::vector<std::uint8_t>& d, std::uint32_t channels) {
  const std::vector<std::uint8_t> src(d);
  std::size_t s = 0;
  for (std::uint32_t ch = 0; ch < channels; ++ch) {
    AudioPredictor predictor;
    for (std::size_t i = ch; i < d.size(); i += channels)
      d[i] = predictor.next(src[s++]);
  }
}

} // namespace kyv::unrar
