// LZX decoder. Input: one byte choosing the window (15 + byte % 7 bits), three bytes of output
// length (little-endian, capped), then the compressed stream. Input and output are copied into
// buffers of their exact size so that any access past either is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/lzx.h"

namespace {
constexpr std::size_t kMaxOutput = 4u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4)
    return 0;
  const int windowBits = 15 + data[0] % 7;
  const std::size_t outLength = std::min<std::size_t>(
      data[1] | (std::size_t{data[2]} << 8) | (std::size_t{data[3]} << 16), kMaxOutput);
  std::vector<std::byte> input(size - 4);
  if (!input.empty())
    std::memcpy(input.data(), data + 4, input.size());
  std::vector<std::byte> output(outLength);
  // The process-wide decoder, as the container uses it: its window is reused across inputs.
  if (kyv::codec::LzxPrepare(windowBits) != kyv::codec::LzxResult::Ok)
    return 0;
  (void)kyv::codec::LzxExpand(input, output);
  return 0;
}
