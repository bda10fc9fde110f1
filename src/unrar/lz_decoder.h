// What the archive reader asks of every decoding method: decode one member's packed bytes into
// the member's output, keeping whatever state a solid archive carries to the next member.
#pragma once

#include <cstdint>

#include "unrar/bit_reader.h"
#include "unrar/lz_window.h"

namespace kyv::unrar {

class MemberDecoder {
public:
  virtual ~MemberDecoder() = default;
  // Starts a fresh stream (a non-solid member, or the first of a solid run) with a window of at
  // least `dictionary` bytes.
  virtual void reset(std::uint64_t dictionary) = 0;
  // Decodes up to `size` bytes of one member from `in` into `out`. Throws on damaged data.
  virtual void decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) = 0;
};

} // namespace kyv::unrar
