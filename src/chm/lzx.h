// LZX decoder for the compressed content section of compiled-help files.
//
// The format is the published LZX bitstream (16-bit little-endian words read most significant bit
// first; verbatim, aligned-offset and uncompressed blocks; delta-coded Huffman code lengths; three
// repeated offsets; E8 call translation). What is particular to this decoder:
//   - a whole section is decoded in one call;
//   - every filling of the window is a reset point: the next block re-reads the stream header and
//     its trees start from zero lengths;
//   - the bitstream is realigned to a 16-bit word after every 32 768 bytes of output;
//   - the system keeps one decoder for the whole process (LzxPrepare / LzxExpand below); the
//     decoder itself is an ordinary object, so tests, fuzzers and benchmarks may own their own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace kyv::chm {

enum LzxResult : int {
  LzxOk = 0,
  LzxBadFormat = 1,
  LzxBadData = 2,
  LzxNoMemory = 3,
};

// A canonical Huffman decoding table with a direct-lookup part of 2^LookupBits entries followed by
// room for the binary tree of the codes longer than LookupBits.
//
// Entry layout (16 bits):
//   bit 15 = 0: a leaf; bits 0-9 the symbol, bits 10-14 the code length (direct part only)
//   bit 15 = 1: an inner node; bits 0-14 the index of its two children (0-branch, then 1-branch)
//   0xFFFF:     no code leads here
template <unsigned Symbols, unsigned LookupBits> struct LzxHuffman {
  static constexpr unsigned kSymbols = Symbols;
  static constexpr unsigned kLookupBits = LookupBits;
  // Every inner node below the direct part takes two entries; a code with n symbols has fewer
  // than n inner nodes, so 2 x symbols entries always suffice.
  static constexpr unsigned kTableSize = (1u << LookupBits) + 2 * Symbols;
  static_assert(Symbols < 1024, "symbol must fit 10 bits of an entry");
  static_assert(kTableSize < 0x8000, "node index must fit 15 bits of an entry");
  // A run written through the pre-tree may go up to 50 entries past the last symbol.
  static constexpr unsigned kSpareLengths = 64;

  std::array<std::uint8_t, Symbols + kSpareLengths> lengths{};
  std::array<std::uint16_t, kTableSize> table{};

  // Builds the table from lengths[0..Symbols). False when the lengths over-fill the code space or
  // leave it part-empty while any length is non-zero; an all-zero set gives an empty table.
  [[nodiscard]] bool build();
};

class LzxDecoderState {
public:
  LzxDecoderState();
  ~LzxDecoderState();
  LzxDecoderState(const LzxDecoderState&) = delete;
  LzxDecoderState& operator=(const LzxDecoderState&) = delete;

  // Begins a new stream with a window of 2^windowBits bytes (15 to 21).
  [[nodiscard]] LzxResult prepare(int windowBits);
  // Decodes input into exactly output.size() bytes. Bytes past the end of input read as zeros,
  // but the stream must not consume them. On failure output holds every run completed before it.
  [[nodiscard]] LzxResult expand(std::span<const std::byte> input, std::span<std::byte> output);

  std::size_t windowSize() const { return windowSize_; }
  std::size_t allocatedSize() const { return allocated_; }
  unsigned positionSlots() const { return positionSlots_; }

private:
  struct BitReader;
  [[nodiscard]] LzxResult startBlock(BitReader& in);
  [[nodiscard]] LzxResult readTrees(BitReader& in);
  [[nodiscard]] LzxResult readCodeLengths(BitReader& in, std::uint8_t* lengths, unsigned first,
                                          unsigned last);
  [[nodiscard]] LzxResult decodeRun(BitReader& in, std::size_t runEnd);
  [[nodiscard]] LzxResult copyUncompressed(BitReader& in, std::size_t run);
  void resetTrees();
  void translateE8(std::span<std::byte> output);

  std::unique_ptr<std::byte[]> window_;
  std::size_t allocated_ = 0;
  std::size_t windowSize_ = 0;
  std::size_t windowPos_ = 0;
  std::uint64_t decodedTotal_ = 0; // bytes put into the window since prepare
  std::uint32_t r0_ = 1, r1_ = 1, r2_ = 1;
  unsigned positionSlots_ = 0;
  unsigned mainElements_ = 0;
  bool prepared_ = false;
  bool headerRead_ = false;
  int blockType_ = 0;
  std::uint32_t blockLength_ = 0;
  std::uint32_t blockRemaining_ = 0;
  std::uint32_t calls_ = 0;
  std::uint32_t e8Size_ = 0;
  std::uint64_t e8Position_ = 0;
  bool e8Started_ = false;

  LzxHuffman<20, 6> preTree_;
  LzxHuffman<656, 12> mainTree_;
  LzxHuffman<250, 12> lengthTree_;
  LzxHuffman<8, 7> alignedTree_;
};

// The process-wide decoder the container uses. Not reentrant: one section at a time.
LzxResult LzxPrepare(int windowBits);
LzxResult LzxExpand(std::span<const std::byte> input, std::span<std::byte> output);

} // namespace kyv::chm
