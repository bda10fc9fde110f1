// ARJ's fastest method (4): LZ77 without Huffman codes, on a 26 KiB window. Bits are read most
// significant first, byte by byte. Each step starts with a length in a variable-width code: up
// to seven 1 bits, each doubling the range, a 0 bit unless all seven came, then as many plain
// bits as 1 bits were read. Length 0 is a literal (8 bits follow); n > 0 is a match of n + 2
// bytes whose distance - 1 is coded the same way with a width from 9 to 13 bits.
#pragma once

#include <cstddef>
#include <span>

#include "codec/bit_input.h"
#include "codec/lz_ring.h"

namespace kyv::codec {

using ArjFastInput = MsbBitInput<1>;

enum class [[nodiscard]] ArjFastStatus{
    Ok,         // the output span is full
    InputEnded, // the input ran out before the output was full
};

class ArjFastDecoder {
public:
  static constexpr std::size_t kWindow = 26624;

  // Begins a new stream.
  void prepare();
  // Continues the stream into exactly output.size() bytes; `produced` as LzhDecoder::expand.
  ArjFastStatus expand(ArjFastInput& in, std::span<std::byte> output,
                       std::size_t* produced = nullptr);

private:
  ArjFastStatus decode(ArjFastInput& in, std::size_t want);

  LzRing ring_;
};

} // namespace kyv::codec
