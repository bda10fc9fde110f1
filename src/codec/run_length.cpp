#include "codec/run_length.h"

#include <algorithm>

namespace kyv::codec {

void RunLengthDecoder::consume(std::span<const std::uint8_t> data) {
  std::size_t i = 0;
  while (i < data.size()) {
    if (literals_ > 0) {
      const std::size_t n =
          std::min<std::size_t>(static_cast<std::size_t>(literals_), data.size() - i);
      put(data.subspan(i, n));
      literals_ -= static_cast<int>(n);
      i += n;
      continue;
    }
    const std::uint8_t c = data[i++];
    if (repeat_ > 0) {
      for (int k = 0; k < repeat_; ++k)
        put(c);
      repeat_ = 0;
    } else if (c < 128) {
      literals_ = c + 1;
    } else if (c > 128) {
      repeat_ = 257 - c;
    } else {
      markEnd();
      return;
    }
  }
}

} // namespace kyv::codec
