// 7z PPMd decoder on arbitrary bytes. The first four bytes are the coder's setting: the model
// order, the model memory (kept small so each input stays quick; tiny models restart often),
// and the output size and piece; the rest is the stream. The output buffer is its exact size,
// so any write past it is caught, and the decoder must never give more than it was asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/ppmd7z.h"

using kyv::codec::Ppmd7zStatus;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4)
    return 0;
  const unsigned order = data[0];
  // 4 KiB to 1 MiB.
  const std::uint32_t memory = (static_cast<std::uint32_t>(data[1]) + 1) << 12;
  const std::uint64_t outputSize = (static_cast<std::uint64_t>(data[2]) + 1) << 10;
  const std::size_t piece = 1 + static_cast<std::size_t>(data[3]) * 61;
  std::byte props[5];
  props[0] = static_cast<std::byte>(order);
  for (int i = 0; i < 4; ++i)
    props[1 + i] = static_cast<std::byte>(memory >> (8 * i));
  std::vector<std::byte> stream(size - 4);
  if (!stream.empty())
    std::memcpy(stream.data(), data + 4, stream.size());

  kyv::codec::Ppmd7zDecoder dec;
  if (dec.start(props, outputSize) != Ppmd7zStatus::Ok)
    return 0;
  kyv::codec::InputBuffer in(stream);
  std::vector<std::byte> out(piece);
  std::uint64_t total = 0;
  for (;;) {
    std::size_t n = 0;
    const Ppmd7zStatus s = dec.read(in, out, n);
    if (n > out.size())
      std::abort();
    total += n;
    if (total > outputSize || (s == Ppmd7zStatus::Ok && n != out.size()))
      std::abort();
    if (s != Ppmd7zStatus::Ok)
      break;
  }
  return 0;
}
