#include "codec/filter_stages.h"

#include <algorithm>

namespace kyv::codec {

namespace {
// Pieces are converted in slices of this size, so a stage's buffer stays small whatever its
// caller pushes.
constexpr std::size_t kSlice = std::size_t{1} << 16;
} // namespace

bool BranchStage::write(std::span<const std::byte> data) {
  while (!data.empty()) {
    const std::size_t take = std::min(data.size(), kSlice);
    const auto* in = reinterpret_cast<const std::uint8_t*>(data.data());
    buf_.insert(buf_.end(), in, in + take);
    data = data.subspan(take);
    const std::size_t done = conv_.decode(buf_);
    if (!next_.write(std::as_bytes(std::span(buf_).first(done))))
      return false;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(done));
  }
  return true;
}

bool BranchStage::finish() {
  const bool ok = next_.write(std::as_bytes(std::span(buf_)));
  buf_.clear();
  return ok;
}

bool DeltaStage::write(std::span<const std::byte> data) {
  while (!data.empty()) {
    const std::size_t take = std::min(data.size(), kSlice);
    buf_.assign(reinterpret_cast<const std::uint8_t*>(data.data()),
                reinterpret_cast<const std::uint8_t*>(data.data()) + take);
    data = data.subspan(take);
    delta_.decode(buf_);
    if (!next_.write(std::as_bytes(std::span(buf_))))
      return false;
  }
  return true;
}

} // namespace kyv::codec
