// The LZ method of the RAR 5 format: blocks with their own Huffman tables, four repeated
// distances, and the delta, E8, E8E9 and ARM output filters.
#pragma once

#include <array>
#include <deque>
#include <memory>

#include "unrar/huffman.h"
#include "unrar/lz_decoder.h"

namespace kyv::unrar {

class Rar5Decoder final : public MemberDecoder {
public:
  void reset(std::uint64_t dictionary) override;
  void decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) override;

private:
  struct Block {
    std::uint64_t endBits = 0;
    bool last = false;
  };
  void readBlockHeader(BitReader& in, Block& block);
  void readTables(BitReader& in);
  void readFilter(BitReader& in);
  void flush(bool final);
  void applyFilter(const LzFilter& f, std::vector<std::uint8_t>& data) const;
  std::uint32_t slotToLength(BitReader& in, std::uint32_t slot) const;

  LzWindow window_;
  std::deque<LzFilter> filters_;
  Huffman main_, dist_, lowDist_, rep_;
  bool tablesRead_ = false;
  std::array<std::uint64_t, 4> oldDist_{};
  std::uint32_t lastLength_ = 0;
};

} // namespace kyv::unrar
