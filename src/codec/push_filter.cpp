#include "codec/push_filter.h"

#include <algorithm>

namespace kyv::codec {

namespace {
// Output is passed on in pieces of this size, so a sink that is a file sees few writes.
constexpr std::size_t kOutputPiece = 32 * 1024;
} // namespace

PushFilter::PushFilter(ByteSink& out) : out_(out), buffer_(kOutputPiece) {}

bool PushFilter::write(std::span<const std::byte> data) {
  if (!stopped())
    consume({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
  return status_ == FilterStatus::Ok;
}

FilterStatus PushFilter::finish() {
  if (!stopped())
    end();
  flush();
  return status_;
}

void PushFilter::put(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t n = std::min(bytes.size(), buffer_.size() - held_);
    std::copy_n(bytes.begin(), n, buffer_.begin() + static_cast<std::ptrdiff_t>(held_));
    held_ += n;
    bytes = bytes.subspan(n);
    if (held_ == buffer_.size())
      flush();
  }
}

void PushFilter::flush() {
  if (held_ == 0)
    return;
  // After a refusal nothing more is passed on; what is held is dropped.
  if (status_ != FilterStatus::WriteRefused &&
      !out_.write(std::as_bytes(std::span(buffer_.data(), held_))))
    status_ = FilterStatus::WriteRefused;
  held_ = 0;
}

} // namespace kyv::codec
