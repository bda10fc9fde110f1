// The RAR 2.9 PPMd mode: a block header in the LZ bit stream, then the shared variant H model
// driven by RAR's carry-less range decoder, which takes its bytes from the same bit stream (the
// mode may switch back to LZ mid-stream, so the bit position must stay in step).
#pragma once

#include <cstdint>

#include "codec/ppmd7.h"
#include "unrar/bit_reader.h"

namespace kyv::unrar {

class RarPpmdDecoder {
public:
  // Forgets the model (a new non-solid stream).
  void reset() { model_.reset(); }
  // Reads a PPMd block header at `in` (byte-aligned) and starts the range decoder; `escape`
  // is the stream's escape symbol, updated when the header names a new one. Throws on error.
  void init(BitReader& in, int& escape);
  // The next byte, or -1 when the data is damaged.
  int decodeChar(BitReader& in) {
    RangeDecoder rc{in, state_};
    return model_.decodeChar(rc);
  }

private:
  struct State {
    std::uint32_t low = 0, code = 0, range = 0;
  };
  // A carry-less coder: low and code kept apart, the range cut short where a carry would be.
  struct RangeDecoder {
    static constexpr std::uint32_t kTop = 1u << 24;
    static constexpr std::uint32_t kBot = 1u << 15;
    BitReader& in;
    State& s;

    bool threshold(unsigned total, unsigned& count) {
      if (total == 0)
        return false;
      s.range /= total;
      if (s.range == 0)
        return false;
      count = (s.code - s.low) / s.range;
      return true;
    }
    void decode(unsigned start, unsigned size) {
      s.low += s.range * start;
      s.range *= size;
    }
    bool decodeBit(unsigned size0) {
      s.range >>= 14;
      if (s.range == 0)
        dataError("PPMd range underflow");
      if ((s.code - s.low) / s.range < size0) {
        s.range *= size0;
        return true;
      }
      s.low += s.range * size0;
      s.range *= (1u << 14) - size0;
      return false;
    }
    void normalize() {
      for (;;) {
        if ((s.low ^ (s.low + s.range)) >= kTop) {
          if (s.range >= kBot)
            break;
          s.range = (0u - s.low) & (kBot - 1);
        }
        s.code = (s.code << 8) | in.get(8);
        s.range <<= 8;
        s.low <<= 8;
      }
    }
  };

  codec::Ppmd7Model model_;
  State state_;
};

} // namespace kyv::unrar
