#include "unrar/table_reader.h"

#include <array>

#include "unrar/huffman.h"

namespace kyv::unrar {

namespace {

constexpr unsigned kBitLengthSymbols = 20;
constexpr unsigned kEscapeLength = 15;

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

void buildCodes(std::span<const std::uint8_t> lengths, std::initializer_list<CodeSlice> codes) {
  std::size_t at = 0;
  for (const CodeSlice& c : codes) {
    c.code->build(lengths.subspan(at, c.symbols));
    at += c.symbols;
  }
}

} // namespace kyv::unrar
