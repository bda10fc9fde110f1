// LZX decoder, as compiled-help files use it for their compressed content section.
//
// The format is the published LZX bitstream (16-bit little-endian words read most significant bit
// first; verbatim, aligned-offset and uncompressed blocks; delta-coded Huffman code lengths; three
// repeated offsets; E8 call translation). What is particular to this decoder:
//   - every filling of the window is a reset point: the next block re-reads the stream header and
//     its trees start from zero lengths;
//   - the bitstream is realigned to a 16-bit word after every 32 768 bytes of output;
//   - E8 translation is undone per 32 KB frame of output, for the first 32 768 frames;
//   - the decoder is an ordinary object; LzxPrepare / LzxExpand below keep one for callers that
//     decode one whole stream at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "codec/bit_input.h"
#include "codec/huffman_table.h"

namespace kyv::codec {

enum class LzxResult {
  Ok,
  BadFormat,
  BadData,
  NoMemory,
};

// The compressed stream: 16-bit little-endian words, most significant bit first.
using LzxInput = MsbBitInput<2>;

class LzxDecoderState {
public:
  // Output is translated (E8) and realigned in frames of this size, counted from the stream start.
  static constexpr std::size_t kFrameSize = 32768;

  LzxDecoderState();
  ~LzxDecoderState();
  LzxDecoderState(const LzxDecoderState&) = delete;
  LzxDecoderState& operator=(const LzxDecoderState&) = delete;

  // Begins a new stream with a window of 2^windowBits bytes (15 to 21). A stream decoded in
  // several calls may give its whole decoded length, so that every run is checked against the
  // window end exactly as one call for the whole stream would check it.
  [[nodiscard]] LzxResult prepare(int windowBits, std::uint64_t streamLength = UINT64_MAX);

  // Continues the stream from `in` into exactly output.size() bytes. E8 translation takes the end
  // of each call for the end of a frame, so a stream decoded in several calls gives the bytes of
  // one call when every call but the last ends on a frame boundary. Past the end of the input the
  // stream reads zeros, which it must not consume. `produced` (if given) receives the number of
  // output bytes that hold decoded data: all on success, on failure those of every run completed
  // before it.
  [[nodiscard]] LzxResult expand(LzxInput& in, std::span<std::byte> output,
                                 std::size_t* produced = nullptr);
  // A whole stream held in memory, in one call.
  [[nodiscard]] LzxResult expand(std::span<const std::byte> input, std::span<std::byte> output);

  std::size_t windowSize() const { return windowSize_; }
  std::size_t allocatedSize() const { return allocated_; }
  unsigned positionSlots() const { return positionSlots_; }

private:
  // The three-bit type at the head of each block; other values are damaged data.
  enum class BlockType : std::uint8_t { None = 0, Verbatim = 1, Aligned = 2, Uncompressed = 3 };

  // Code length arrays keep spare room after the symbols: a run written through the pre-tree may
  // go up to 50 entries past the last symbol it was meant for.
  static constexpr unsigned kSpareLengths = 64;
  // Root table sizes: every block builds its tables afresh, so a root holds the code lengths
  // that are common (literals of text and code take 8 to 11 bits) and longer codes go through
  // a subtable.
  static constexpr unsigned kPreSymbols = 20, kPreRootBits = 7, kPreMaxLength = 15;
  static constexpr unsigned kMainSymbols = 656, kMainRootBits = 11;
  static constexpr unsigned kLengthSymbols = 250, kLengthRootBits = 10;
  static constexpr unsigned kAlignedSymbols = 8, kAlignedRootBits = 7, kAlignedMaxLength = 7;
  static constexpr unsigned kMaxLength = 16;

  [[nodiscard]] LzxResult startBlock(LzxInput& in);
  [[nodiscard]] LzxResult readTrees(LzxInput& in);
  [[nodiscard]] LzxResult readCodeLengths(LzxInput& in, std::uint8_t* lengths, unsigned first,
                                          unsigned last);
  [[nodiscard]] LzxResult decodeRun(LzxInput& in, std::size_t runEnd);
  template <bool kCareful>
  [[nodiscard]] LzxResult decodeSymbols(LzxInput& in, std::size_t& wp, std::size_t segEnd,
                                        std::size_t runEnd);
  [[nodiscard]] LzxResult copyUncompressed(LzxInput& in, std::size_t run);
  void resetTrees();
  void translateE8(std::span<std::uint8_t> output);

  std::unique_ptr<std::uint8_t[]> window_;
  std::size_t allocated_ = 0;
  std::size_t windowSize_ = 0;
  std::size_t windowPos_ = 0;
  std::uint64_t streamLength_ = UINT64_MAX;
  std::uint64_t decodedTotal_ = 0; // bytes put into the window since prepare
  std::uint32_t r0_ = 1, r1_ = 1, r2_ = 1;
  unsigned positionSlots_ = 0;
  unsigned mainElements_ = 0;
  bool prepared_ = false;
  bool headerRead_ = false;
  BlockType blockType_ = BlockType::None;
  std::uint32_t blockLength_ = 0;
  std::uint32_t blockRemaining_ = 0;
  std::uint32_t calls_ = 0;
  std::uint32_t e8Size_ = 0;
  std::uint64_t e8Position_ = 0;
  bool e8Started_ = false;

  std::array<std::uint8_t, kPreSymbols> preLengths_{};
  std::array<std::uint8_t, kMainSymbols + kSpareLengths> mainLengths_{};
  std::array<std::uint8_t, kLengthSymbols + kSpareLengths> lengthLengths_{};
  std::array<std::uint8_t, kAlignedSymbols> alignedLengths_{};
  std::array<std::uint32_t, huffTableCapacity(kPreSymbols, kPreRootBits, kPreMaxLength)>
      preTable_{};
  std::array<std::uint32_t, huffTableCapacity(kMainSymbols, kMainRootBits, kMaxLength)>
      mainTable_{};
  std::array<std::uint32_t, huffTableCapacity(kLengthSymbols, kLengthRootBits, kMaxLength)>
      lengthTable_{};
  std::array<std::uint32_t, huffTableCapacity(kAlignedSymbols, kAlignedRootBits, kAlignedMaxLength)>
      alignedTable_{};
};

// One process-wide decoder for callers that decode a whole stream at a time. Not reentrant.
LzxResult LzxPrepare(int windowBits);
LzxResult LzxExpand(std::span<const std::byte> input, std::span<std::byte> output);

} // namespace kyv::codec
