// PPMd variant H as the 7z format stores it: the shared model (codec/ppmd7.h) driven by a range
// decoder with a carry (the encoder propagates carries, so the decoder keeps only the distance
// from the range's low end), a leading zero byte, and a binary step that splits the range at a
// bound instead of scaling both halves. Properties are five bytes: the model order and the
// model's memory size (little-endian). The stream has no end marker: it ends at the output size
// the container declares, and a valid stream is consumed exactly by then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/bit_input.h"
#include "codec/ppmd7.h"

namespace kyv::codec {

enum class [[nodiscard]] Ppmd7zStatus{
    Ok,             // the span is full and the stream goes on
    StreamEnd,      // the declared output is all given
    BadProperties,  // not five bytes, an order outside 2-64 or a memory size below 2 KiB
    MemoryTooLarge, // the model's memory is over kPpmd7zMaxMemory
    NotStarted,     // read() before start()
    BadRangeStart,  // the first byte is not zero, or the initial code is out of range
    DataError,      // the model or the range decoder met an impossible state
    Truncated,      // the input ended where more was needed
};

inline bool isPpmd7zError(Ppmd7zStatus s) { return s >= Ppmd7zStatus::BadProperties; }
const char* ppmd7zStatusText(Ppmd7zStatus s);

// Model memory above this is refused: the plug-in runs in a 32-bit host that shares its address
// space. The largest preset of the common 7z archiver asks for 192 MiB, and RAR's PPMd tops out
// at 256 MiB, the same cap.
inline constexpr std::uint32_t kPpmd7zMaxMemory = 256u << 20;

class Ppmd7zDecoder {
public:
  // Reads the properties and sets up the model for `outputSize` bytes of output. The range
  // decoder starts on the first read().
  Ppmd7zStatus start(std::span<const std::byte> props, std::uint64_t outputSize);
  // Decodes up to out.size() bytes into out; n is how many were given (also on an error).
  Ppmd7zStatus read(InputBuffer& in, std::span<std::byte> out, std::size_t& n);

private:
  struct RangeDecoder {
    static constexpr std::uint32_t kTop = 1u << 24;
    InputBuffer* in = nullptr;
    std::uint32_t range = 0, code = 0;

    bool threshold(unsigned total, unsigned& count) {
      if (total == 0 || (range /= total) == 0)
        return false;
      count = code / range;
      return true;
    }
    void decode(unsigned start, unsigned size) {
      code -= start * range;
      range *= size;
    }
    bool decodeBit(unsigned size0) {
      const std::uint32_t bound = (range >> 14) * size0;
      if (code < bound) {
        range = bound;
        return true;
      }
      code -= bound;
      range -= bound;
      return false;
    }
    void normalize() {
      // Two bytes always suffice for a valid stream; a damaged one may have emptied the range, and
      // no number of bytes would refill it (the next threshold() then fails).
      for (int i = 0; i < 3 && range < kTop; ++i) {
        code = (code << 8) | in->byteOrPad();
        range <<= 8;
      }
    }
  };

  Ppmd7Model model_;
  RangeDecoder rc_;
  std::uint64_t left_ = 0;
  bool started_ = false;
  bool rangeStarted_ = false;
};

} // namespace kyv::codec
