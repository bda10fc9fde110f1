#include "unrar/huffman.h"

namespace kyv::unrar {

void Huffman::build(std::span<const std::uint8_t> lengths) {
  table_.resize(codec::huffTableCapacity(lengths.size(), kRootBits, kMaxLength));
  switch (codec::buildHuffmanTable(lengths, codec::plainSymbolEntries(lengths.size()), kRootBits,
                                   kMaxLength, table_, codec::BitOrder::MsbFirst)) {
  case codec::HuffBuild::Ok:
    return;
  case codec::HuffBuild::BadLength:
    dataError("Huffman code length over 15");
  default:
    dataError("over-subscribed Huffman code");
  }
}

} // namespace kyv::unrar
