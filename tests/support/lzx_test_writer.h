// Test-only builder of LZX streams and compiled-help containers, written from the format
// descriptions, so that tests can make exactly the malformed or edge-case input they need.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::test {

// LZX bitstream: 16-bit little-endian words filled from their most significant bit.
class LzxWriter {
public:
  void bits(std::uint32_t value, unsigned count) {
    for (unsigned i = count; i-- > 0;) {
      word_ = static_cast<std::uint16_t>((word_ << 1) | ((value >> i) & 1u));
      if (++used_ == 16)
        flushWord();
    }
  }
  // Pads with zero bits to the next word boundary (nothing when already there).
  void alignWord() {
    if (used_ != 0)
      bits(0, 16 - used_);
  }
  // Stream header: E8 translation size, 0 for none.
  void header(std::uint32_t e8Size) {
    bits(e8Size != 0 ? 1 : 0, 1);
    if (e8Size != 0) {
      bits(e8Size >> 16, 16);
      bits(e8Size & 0xFFFF, 16);
    }
  }
  void blockHeader(unsigned type, std::uint32_t length) {
    bits(type, 3);
    bits(length >> 8, 16);
    bits(length & 0xFF, 8);
  }
  // An uncompressed block after its block header: 1 to 16 padding bits, R0-R2, the bytes and a
  // pad byte when their count is odd.
  void uncompressedBody(std::string_view data, std::uint32_t r0 = 1, std::uint32_t r1 = 1,
                        std::uint32_t r2 = 1) {
    bits(0, used_ == 0 ? 16 : 16 - used_);
    for (std::uint32_t r : {r0, r1, r2})
      for (int i = 0; i < 4; ++i)
        out_.push_back(static_cast<std::byte>(r >> (8 * i)));
    for (char c : data)
      out_.push_back(static_cast<std::byte>(c));
    if (data.size() % 2 != 0)
      out_.push_back(std::byte{0});
  }
  std::vector<std::byte> finish() {
    alignWord();
    return out_;
  }

private:
  void flushWord() {
    out_.push_back(static_cast<std::byte>(word_ & 0xFF));
    out_.push_back(static_cast<std::byte>(word_ >> 8));
    word_ = 0;
    used_ = 0;
  }
  std::vector<std::byte> out_;
  std::uint16_t word_ = 0;
  unsigned used_ = 0;
};

// Canonical Huffman codes for a set of lengths (shorter codes first, ascending symbols).
inline std::vector<std::uint32_t> canonicalCodes(const std::vector<std::uint8_t>& lengths) {
  std::array<std::uint32_t, 18> count{}, next{};
  for (auto l : lengths)
    ++count[l];
  count[0] = 0;
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0)
      codes[s] = next[lengths[s]]++;
  return codes;
}

// A verbatim block with one fixed tree set: every literal has a 9-bit code, the 16 match symbols
// of position slots 0 and 1 (repeated offsets R0 and R1, match lengths 2-9) have 5-bit codes, and
// the length tree has two 1-bit codes. The pre-tree gives symbols 0-11 four bits and 12-19 five.
class VerbatimBlock {
public:
  VerbatimBlock(LzxWriter& w, unsigned mainElements, std::vector<std::uint8_t>& mainLengths,
                std::vector<std::uint8_t>& lengthLengths)
      : w_(w) {
    pre_.assign(20, 4);
    for (unsigned i = 12; i < 20; ++i)
      pre_[i] = 5;
    preCodes_ = canonicalCodes(pre_);
    std::vector<std::uint8_t> main(656, 0);
    for (unsigned i = 0; i < 256; ++i)
      main[i] = 9;
    for (unsigned i = 256; i < 272; ++i)
      main[i] = 5;
    std::vector<std::uint8_t> length(250, 0);
    length[0] = length[1] = 1;
    writeLengths(mainLengths, main, 0, 256);
    writeLengths(mainLengths, main, 256, mainElements);
    writeLengths(lengthLengths, length, 0, 249);
    mainCodes_ = canonicalCodes(std::vector<std::uint8_t>(main.begin(), main.end()));
    main_ = main;
  }
  void literal(std::uint8_t b) { w_.bits(mainCodes_[b], main_[b]); }
  // A match through a repeated offset: slot 0 (R0) or 1 (R1, swapped with R0), length 2 to 8.
  void repeat(unsigned slot, unsigned length) {
    const unsigned sym = 256 + slot * 8 + (length - 2);
    w_.bits(mainCodes_[sym], main_[sym]);
  }

private:
  // Delta-codes new lengths against the previous ones through the pre-tree, symbol by symbol.
  void writeLengths(std::vector<std::uint8_t>& previous, const std::vector<std::uint8_t>& lengths,
                    unsigned first, unsigned last) {
    for (auto l : pre_)
      w_.bits(l, 4);
    for (unsigned i = first; i < last; ++i) {
      const unsigned z = (previous[i] + 17 - lengths[i]) % 17;
      w_.bits(preCodes_[z], pre_[z]);
      previous[i] = lengths[i];
    }
  }
  LzxWriter& w_;
  std::vector<std::uint8_t> pre_;
  std::vector<std::uint32_t> preCodes_;
  std::vector<std::uint8_t> main_;
  std::vector<std::uint32_t> mainCodes_;
};

} // namespace kyv::test
