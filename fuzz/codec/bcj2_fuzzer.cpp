// BCJ2 over four streams cut from the input: three 16-bit lengths give the CALL, jump and
// range-coded streams, the rest is the main stream, fed in pieces of varying size.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/bcj2.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6 || size > (1u << 20))
    return 0;
  std::span<const std::byte> in(reinterpret_cast<const std::byte*>(data), size);
  auto take = [&in](std::size_t n) {
    n = n < in.size() ? n : in.size();
    // Copied to a buffer of its exact size, so ASan sees any read past a stream.
    std::vector<std::byte> part(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    in = in.subspan(n);
    return part;
  };
  auto le16 = [data](int at) {
    return static_cast<std::size_t>(data[at]) | (static_cast<std::size_t>(data[at + 1]) << 8);
  };
  const std::size_t lens[3] = {le16(0), le16(2), le16(4)};
  in = in.subspan(6);
  const auto call = take(lens[0]), jump = take(lens[1]), range = take(lens[2]);
  const std::vector<std::byte> main(in.begin(), in.end());
  kyv::MemorySource callSource(call), jumpSource(jump), rangeSource(range);
  kyv::codec::Bcj2Decoder decoder(callSource, jumpSource, rangeSource);
  kyv::VectorSink out(1u << 24);
  std::span<const std::byte> rest(main);
  std::size_t piece = 1;
  while (!rest.empty()) {
    const std::size_t n = piece < rest.size() ? piece : rest.size();
    if (decoder.decode(rest.first(n), out) != kyv::codec::Bcj2Status::Ok)
      return 0;
    rest = rest.subspan(n);
    piece = piece * 3 + 1;
  }
  (void)decoder.finish(out);
  // Every main byte comes out, with four more per operand put back.
  if (out.bytes().size() < main.size())
    __builtin_trap();
  return 0;
}
