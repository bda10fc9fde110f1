// The LZSS of the MS-DOS file compressor (the SZDD files and method 2 of their KWAJ siblings): a
// 4 KiB window filled with spaces, written from position 4096 - 16. A flag byte, read from its
// lowest bit, says for each of the next eight items whether it is a literal byte (1) or a match
// of two bytes (0): the window position in the first byte and the high nibble of the second, the
// length - 3 in its low nibble. The stream ends with the input.
#pragma once

#include <cstddef>
#include <span>

#include "codec/bit_input.h"
#include "codec/lz_ring.h"

namespace kyv::codec {

enum class [[nodiscard]] LzssStatus{
    Ok,         // the output span is full
    InputEnded, // the input ran out first: the end of the stream, or a cut one
};

class LzssDecoder {
public:
  static constexpr std::size_t kWindow = 4096;

  // Begins a new stream.
  void prepare();
  // Continues the stream from `in` into exactly output.size() bytes; `produced` as
  // LzhDecoder::expand.
  LzssStatus expand(InputBuffer& in, std::span<std::byte> output, std::size_t* produced = nullptr);

private:
  LzssStatus decode(InputBuffer& in, std::size_t want);

  LzRing ring_;
  unsigned flags_ = 0; // the flag byte's bits not used yet, above a marker bit
};

} // namespace kyv::codec
