// The code-length tables at the start of a block, as the RAR 2.9 and RAR 5 methods both write
// them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "unrar/bit_reader.h"
#include "unrar/huffman.h"

namespace kyv::unrar {

// A block's code lengths: first 20 bit lengths (4 bits each; 15 is followed by a 4-bit count,
// 0 meaning a real 15 and n meaning n + 2 zeros), which make the code that the lengths of all
// tables are read with: 0-15 a length, 16 and 17 a run of the previous length (3 + 3 bits or
// 11 + 7 bits), 18 and 19 a run of zeros (the same). With `previous` (RAR 2.9), each length is
// added to the previous block's, modulo 16.
void readTableLengths(BitReader& in, std::span<std::uint8_t> table, const std::uint8_t* previous);

// A code of the block and how many symbols it has.
struct CodeSlice {
  Huffman* code;
  unsigned symbols;
};
// Builds each code from its own slice of the lengths read, the slices following one another in
// the order given; together they cover no more than `lengths`.
void buildCodes(std::span<const std::uint8_t> lengths, std::initializer_list<CodeSlice> codes);

} // namespace kyv::unrar
