#include "daemon/instream.h"

#include <algorithm>

namespace kyv::daemon {

ChunkDecoder::Step ChunkDecoder::Feed(std::span<const std::byte> input) {
  Step step;
  if (finished_)
    return step;
  if (remaining_ > 0) {
    const std::size_t n = std::min<std::size_t>(remaining_, input.size());
    remaining_ -= static_cast<std::uint32_t>(n);
    step.consumed = n;
    step.event = n > 0 ? Event::Data : Event::None;
    step.data = input.first(n);
    return step;
  }
  while (headerBytes_ < 4 && step.consumed < input.size()) {
    header_ = (header_ << 8) | std::to_integer<std::uint32_t>(input[step.consumed]);
    ++headerBytes_;
    ++step.consumed;
  }
  if (headerBytes_ < 4)
    return step;
  const std::uint32_t length = header_;
  header_ = 0;
  headerBytes_ = 0;
  if (length == 0) {
    finished_ = true;
    step.event = Event::End;
    return step;
  }
  if (length > limit_ - total_) {
    finished_ = true;
    step.event = Event::OverLimit;
    return step;
  }
  total_ += length;
  remaining_ = length;
  return step;
}

} // namespace kyv::daemon
