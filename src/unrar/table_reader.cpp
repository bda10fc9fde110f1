#include "unrar/table_reader.h"

#include <array>

#include "codec/branch_filters.h"
#include "unrar/huffman.h"

namespace kyv::unrar {

namespace {

constexpr unsigned kBitLengthSymbols = 20;
constexpr unsigned kEscapeLength = 15;
constexpr std::uint32_t kX86Translation = 0x1000000;

} // namespace

void readTableLengths(BitReader& in, std::span<std::uint8_t> table, const std::uint8_t* previous) {
  std::array<std::uint8_t, kBitLengthSymbols> bl{};
  for (unsigned i = 0; i < kBitLengthSymbols; ++i) {
    const auto l = static_cast<std::uint8_t>(in.get(4));
    if (l != kEscapeLength) {
      bl[i] = l;
      continue;
    }
    const std::uint32_t zeros = in.get(4);
    if (zeros == 0) {
      bl[i] = kEscapeLength;
      continue;
    }
    for (std::uint32_t k = 0; k < zeros + 2 && i < kBitLengthSymbols; ++k)
      bl[i++] = 0;
    --i;
  }
  Huffman lengths;
  lengths.build(bl);
  const std::size_t size = table.size();
  for (std::size_t i = 0; i < size;) {
    const std::uint32_t n = lengths.decode(in);
    if (n < 16) {
      table[i] = static_cast<std::uint8_t>(previous != nullptr ? (previous[i] + n) & 0xF : n);
      ++i;
    } else if (n < 18) {
      const std::uint32_t count = n == 16 ? in.get(3) + 3 : in.get(7) + 11;
      if (i == 0)
        dataError("table repeats a length before the first");
      for (std::uint32_t k = 0; k < count && i < size; ++k, ++i)
        table[i] = table[i - 1];
    } else {
      const std::uint32_t count = n == 18 ? in.get(3) + 3 : in.get(7) + 11;
      for (std::uint32_t k = 0; k < count && i < size; ++k)
        table[i++] = 0;
    }
  }
}

void undoX86(std::span<std::uint8_t> block, std::uint32_t fileOffset, bool alsoE9) {
  if (block.size() <= 4)
    return;
  codec::x86Decode(block, block.size() - 4,
                   {.start = fileOffset, .operandBias = 1, .positionMask = kX86Translation - 1,
                    .size = kX86Translation, .alsoE9 = alsoE9});
}

void undoDelta(std::vector<std::uint8_t>& block, std::uint32_t channels) {
  const std::vector<std::uint8_t> stored(block);
  codec::deltaDecode(stored, block, channels);
}

} // namespace kyv::unrar
