// The RAR 2.9 method (unpack versions 29 and 36): LZ blocks with delta-coded Huffman tables,
// PPMd (variant H) blocks, and the standard output filters announced through filter records
// (E8, E8E9, Itanium, delta, RGB, audio). Filter programs other than the standard ones are not
// run: a member that needs one fails as damaged.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <vector>

#include "unrar/huffman.h"
#include "unrar/lz_decoder.h"

namespace kyv::unrar {

class RarPpmdDecoder;

class Rar3Decoder final : public MemberDecoder {
public:
  Rar3Decoder();
  ~Rar3Decoder() override;
  void reset(std::uint64_t dictionary) override;
  void decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) override;

private:
  enum class Block { Lz, Ppm };
  struct FilterDef {
    std::uint8_t type = 0;
    std::uint32_t lastLength = 0;
    std::uint32_t execCount = 0;
  };
  // Returns false when the stream marks the end of the member.
  bool readTables(BitReader& in);
  bool lzStep(BitReader& in);
  bool ppmStep(BitReader& in);
  bool endOfBlock(BitReader& in);
  void addFilter(std::uint32_t firstByte, const std::vector<std::uint8_t>& code);
  void copy(std::uint32_t length, std::uint64_t distance);
  void flush(bool final);
  void applyFilter(const LzFilter& f, std::vector<std::uint8_t>& data) const;

  LzWindow window_;
  std::deque<LzFilter> pending_;
  std::vector<FilterDef> filters_;
  std::uint32_t lastFilter_ = 0;
  Huffman main_, dist_, lowDist_, rep_;
  std::array<std::uint8_t, 404> oldTable_{};
  bool tablesRead_ = false;
  Block block_ = Block::Lz;
  std::array<std::uint64_t, 4> oldDist_{};
  std::uint64_t lastDist_ = 0;
  std::uint32_t lastLength_ = 0;
  std::uint32_t prevLowDist_ = 0;
  std::uint32_t lowDistRepeat_ = 0;
  std::unique_ptr<RarPpmdDecoder> ppm_;
  int ppmEscape_ = 2;
};

} // namespace kyv::unrar
