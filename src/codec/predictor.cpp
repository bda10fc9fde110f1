#include "codec/predictor.h"

#include <algorithm>
#include <cstdlib>

namespace kyv::codec {

namespace {
// Limits no image comes near: 32 colour components (PDF's device spaces have at most 4, DeviceN
// at most 32), and rows of at most 16 MiB (two rows are held).
constexpr int kMaxColors = 32;
constexpr std::uint64_t kMaxRowBytes = 16u << 20;

std::uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc)
    return static_cast<std::uint8_t>(a);
  return static_cast<std::uint8_t>(pb <= pc ? b : c);
}
} // namespace

std::optional<std::size_t> predictorRowBytes(const PredictorParams& p) {
  const int bpc = p.bitsPerComponent;
  if (p.colors < 1 || p.colors > kMaxColors || p.columns < 1 ||
      (bpc != 1 && bpc != 2 && bpc != 4 && bpc != 8 && bpc != 16))
    return std::nullopt;
  const std::uint64_t bits = std::uint64_t{static_cast<unsigned>(p.colors)} *
                             static_cast<unsigned>(bpc) * static_cast<unsigned>(p.columns);
  const std::uint64_t bytes = (bits + 7) / 8;
  if (bytes > kMaxRowBytes)
    return std::nullopt;
  return static_cast<std::size_t>(bytes);
}

PredictorDecoder::PredictorDecoder(ByteSink& out, const PredictorParams& params)
    : PushFilter(out), params_(params), png_(params.predictor >= 10),
      rowBytes_(*predictorRowBytes(params)),
      pixelBytes_(std::max(1, params.colors * params.bitsPerComponent / 8)), previous_(rowBytes_),
      row_(rowBytes_ + (png_ ? 1 : 0)) {}

void PredictorDecoder::consume(std::span<const std::uint8_t> data) {
  while (!data.empty()) {
    const std::size_t n = std::min(data.size(), row_.size() - filled_);
    std::copy_n(data.begin(), n, row_.begin() + static_cast<std::ptrdiff_t>(filled_));
    filled_ += n;
    data = data.subspan(n);
    if (filled_ == row_.size())
      finishRow();
  }
}

void PredictorDecoder::end() {
  if (filled_ > (png_ ? 1u : 0u)) {
    std::fill(row_.begin() + static_cast<std::ptrdiff_t>(filled_), row_.end(), 0);
    const std::size_t keep = filled_ - (png_ ? 1 : 0);
    filled_ = row_.size();
    // Decode the padded row, pass on only the bytes that came in.
    if (png_)
      undoPng();
    else
      undoTiff();
    put(std::span(previous_).first(keep));
  }
  filled_ = 0;
}

void PredictorDecoder::finishRow() {
  if (png_)
    undoPng();
  else
    undoTiff();
  put(previous_);
  filled_ = 0;
}

// Leaves the decoded row in previous_.
void PredictorDecoder::undoTiff() {
  const int bpc = params_.bitsPerComponent;
  const auto colors = static_cast<std::size_t>(params_.colors);
  if (bpc == 8) {
    for (std::size_t i = colors; i < rowBytes_; ++i)
      row_[i] = static_cast<std::uint8_t>(row_[i] + row_[i - colors]);
  } else if (bpc == 16) {
    for (std::size_t i = 2 * colors; i + 1 < rowBytes_; i += 2) {
      const unsigned left = (row_[i - 2 * colors] << 8) | row_[i - 2 * colors + 1];
      const unsigned v = ((row_[i] << 8) | row_[i + 1]) + left;
      row_[i] = static_cast<std::uint8_t>(v >> 8);
      row_[i + 1] = static_cast<std::uint8_t>(v);
    }
  } else {
    // Samples of 1, 2 or 4 bits, most significant first.
    const unsigned mask = (1u << bpc) - 1;
    const std::size_t samples = colors * static_cast<std::size_t>(params_.columns);
    const auto sample = [&](std::size_t k) {
      const std::size_t bit = k * static_cast<std::size_t>(bpc);
      return (row_[bit / 8] >> (8 - bpc - bit % 8)) & mask;
    };
    for (std::size_t k = colors; k < samples; ++k) {
      const unsigned v = (sample(k) + sample(k - colors)) & mask;
      const std::size_t bit = k * static_cast<std::size_t>(bpc);
      const unsigned shift = 8 - static_cast<unsigned>(bpc) - bit % 8;
      row_[bit / 8] = static_cast<std::uint8_t>((row_[bit / 8] & ~(mask << shift)) | (v << shift));
    }
  }
  std::copy(row_.begin(), row_.begin() + static_cast<std::ptrdiff_t>(rowBytes_), previous_.begin());
}

void PredictorDecoder::undoPng() {
  const std::uint8_t type = row_[0];
  std::uint8_t* cur = row_.data() + 1;
  const std::uint8_t* up = previous_.data();
  const std::size_t bpp = pixelBytes_;
  for (std::size_t i = 0; i < rowBytes_; ++i) {
    const int left = i >= bpp ? cur[i - bpp] : 0;
    const int above = up[i];
    const int corner = i >= bpp ? up[i - bpp] : 0;
    switch (type) {
    case 1:
      cur[i] = static_cast<std::uint8_t>(cur[i] + left);
      break;
    case 2:
      cur[i] = static_cast<std::uint8_t>(cur[i] + above);
      break;
    case 3:
      cur[i] = static_cast<std::uint8_t>(cur[i] + (left + above) / 2);
      break;
    case 4:
      cur[i] = static_cast<std::uint8_t>(cur[i] + paeth(left, above, corner));
      break;
    default:
      break; // 0, and filter types no encoder writes, pass the row as it is
    }
  }
  std::copy(cur, cur + rowBytes_, previous_.begin());
}

} // namespace kyv::codec
