// The LZ77 + static Huffman decoder of the LZH archivers' -lh4- to -lh7- methods and of ARJ's
// methods 1 to 3, which share one bit stream and differ only in window and position code:
//
//   block     16-bit symbol count, then three code-length sets: the code-length code (19
//             symbols, 3-bit lengths with a unary escape past 6 and a 2-bit zero run after the
//             third), the literal/length code (510 symbols, its lengths through the code-length
//             code with three kinds of zero run) and the position code (positionSymbols
//             symbols, lengths as the code-length code but without the zero run). A set may
//             instead name one symbol that takes no bits at all.
//   symbols   0-255 literals, 256-509 matches of 3 to 256 bytes; a match's position symbol j
//             gives distance 1 for j = 0, otherwise 2^(j-1) + (j - 1 more bits) + 1.
//
// Bits are read most significant first, byte by byte. The encoders write complete codes only, so
// an incomplete or over-full code is damaged data, as is a match that reaches past the window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/bit_input.h"
#include "codec/huffman_table.h"
#include "codec/lz_ring.h"

namespace kyv::codec {

using LzhInput = MsbBitInput<1>;

enum class [[nodiscard]] LzhStatus{
    Ok,          // the output span is full
    BadTable,    // a code-length set that is out of range or does not form a complete code
    BadSymbol,   // a code word of an empty code
    BadDistance, // a match reaching past the window
    InputEnded,  // the input ran out before the output was full
};

struct LzhFormat {
  std::size_t window;       // bytes a match may reach back
  unsigned positionSymbols; // symbols of the position code
  unsigned positionBits;    // bits of its count field
  std::uint8_t fill;        // what the window holds before the first byte
};

// The LZH decoders start from a window of spaces; ARJ's leaves it unset, so nothing real refers
// to it and zeros do.
inline constexpr LzhFormat kLzhLh4{4096, 14, 4, ' '};
inline constexpr LzhFormat kLzhLh5{8192, 14, 4, ' '};
inline constexpr LzhFormat kLzhLh6{32768, 16, 5, ' '};
inline constexpr LzhFormat kLzhLh7{65536, 17, 5, ' '};
inline constexpr LzhFormat kLzhArj{26624, 17, 5, 0};

class LzhDecoder {
public:
  // Begins a new stream.
  void prepare(const LzhFormat& format);

  // Continues the stream from `in` into exactly output.size() bytes. `produced` (if given)
  // receives the bytes written to output: all on Ok, on failure those decoded before it.
  LzhStatus expand(LzhInput& in, std::span<std::byte> output, std::size_t* produced = nullptr);

private:
  static constexpr unsigned kCodeLengthSymbols = 19;
  static constexpr unsigned kSymbols = 510;
  static constexpr unsigned kMaxPositionSymbols = 17;
  static constexpr unsigned kMaxLength = 16;
  static constexpr unsigned kSymbolRootBits = 12;
  static constexpr unsigned kSmallRootBits = 8;

  LzhStatus startBlock(LzhInput& in);
  LzhStatus readSmallLengths(LzhInput& in, unsigned symbols, unsigned countBits, int zeroRunAfter);
  LzhStatus readSymbolLengths(LzhInput& in);
  LzhStatus decode(LzhInput& in, std::size_t want);

  LzhFormat format_ = kLzhLh5;
  LzRing ring_;
  std::uint32_t blockLeft_ = 0;
  std::array<std::uint8_t, kSymbols> lengths_{};
  std::array<std::uint8_t, kCodeLengthSymbols> smallLengths_{};
  // The code-length code while the symbol lengths are read, then the position code.
  std::array<std::uint32_t, huffTableCapacity(kCodeLengthSymbols, kSmallRootBits, kMaxLength)>
      small_{};
  std::array<std::uint32_t, huffTableCapacity(kSymbols, kSymbolRootBits, kMaxLength)> symbols_{};
};

} // namespace kyv::codec
