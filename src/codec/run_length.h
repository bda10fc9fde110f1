// Byte run-length decoding (the PackBits scheme): a length byte n below 128 is followed by n + 1
// literal bytes, n above 128 by one byte repeated 257 - n times, and 128 ends the data.
#pragma once

#include "codec/push_filter.h"

namespace kyv::codec {

class RunLengthDecoder final : public PushFilter {
public:
  using PushFilter::PushFilter;

private:
  void consume(std::span<const std::uint8_t> data) override;

  int literals_ = 0; // literal bytes still to copy
  int repeat_ = 0;   // the count of a run whose byte comes next
};

} // namespace kyv::codec
