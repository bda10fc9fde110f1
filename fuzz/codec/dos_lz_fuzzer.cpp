// The small LZ decoders of the DOS archivers (LZH -lh4- to -lh7-, ARJ 1-3, ARJ 4, the LZSS of the
// MS-DOS compressor). Input: one byte choosing the decoder (byte % 7), two bytes of output length
// (little-endian), one byte of piece size (0: all at once), then the compressed stream. The
// output comes in pieces of exactly the span asked for; whatever the status, the decoder must
// say how much it wrote and never write past the span.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/arj_fast.h"
#include "codec/lzh.h"
#include "codec/lzss.h"

namespace {

using namespace kyv::codec;

// Runs expand over the output in pieces; returns false when it claimed more than it was given.
template <class Expand>
bool inPieces(std::vector<std::byte>& out, std::size_t piece, Expand expand) {
  std::size_t done = 0;
  while (done < out.size()) {
    const std::size_t n = std::min(piece, out.size() - done);
    std::vector<std::byte> exact(n); // its own buffer, so an overrun is seen
    std::size_t produced = SIZE_MAX;
    const bool ok = expand(std::span(exact), produced);
    if (produced > n || (ok && produced != n))
      return false;
    std::memcpy(out.data() + done, exact.data(), produced);
    done += produced;
    if (!ok)
      break;
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4)
    return 0;
  const unsigned kind = data[0] % 7;
  const std::size_t outLength = data[1] | (std::size_t{data[2]} << 8);
  const std::size_t piece = data[3] == 0 ? SIZE_MAX : data[3] * std::size_t{97};
  std::vector<std::byte> input(size - 4);
  if (!input.empty())
    std::memcpy(input.data(), data + 4, input.size());
  std::vector<std::byte> output(outLength * 4);
  bool sane = true;
  if (kind < 5) {
    static const LzhFormat* const kFormats[] = {&kLzhLh4, &kLzhLh5, &kLzhLh6, &kLzhLh7, &kLzhArj};
    LzhDecoder decoder;
    decoder.prepare(*kFormats[kind]);
    LzhInput in(input);
    sane = inPieces(output, piece, [&](std::span<std::byte> out, std::size_t& produced) {
      return decoder.expand(in, out, &produced) == LzhStatus::Ok;
    });
  } else if (kind == 5) {
    ArjFastDecoder decoder;
    decoder.prepare();
    ArjFastInput in(input);
    sane = inPieces(output, piece, [&](std::span<std::byte> out, std::size_t& produced) {
      return decoder.expand(in, out, &produced) == ArjFastStatus::Ok;
    });
  } else {
    LzssDecoder decoder;
    decoder.prepare();
    InputBuffer in(input);
    sane = inPieces(output, piece, [&](std::span<std::byte> out, std::size_t& produced) {
      return decoder.expand(in, out, &produced) == LzssStatus::Ok;
    });
  }
  if (!sane)
    std::abort();
  return 0;
}
