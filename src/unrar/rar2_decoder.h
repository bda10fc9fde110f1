// The RAR 2.0 method (unpack versions 20 and 26): LZ blocks with delta-coded Huffman tables and
// four rotating old distances, and multimedia blocks that predict up to four interleaved audio
// channels from their recent deltas.
#pragma once

#include <array>

#include "unrar/huffman.h"
#include "unrar/lz_decoder.h"

namespace kyv::unrar {

class Rar2Decoder final : public MemberDecoder {
public:
  void reset(std::uint64_t dictionary) override;
  void decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) override;

private:
  struct Audio {
    int k[5] = {};
    int d[4] = {};
    int lastDelta = 0;
    std::uint32_t dif[11] = {};
    std::uint32_t byteCount = 0;
    int lastChar = 0;
  };
  void readTables(BitReader& in);
  std::uint8_t decodeAudio(int delta);
  void copy(std::uint32_t length, std::uint64_t distance);
  void flush(bool final);

  static constexpr unsigned kAudioSymbols = 257;
  LzWindow window_;
  Huffman main_, dist_, rep_;
  std::array<Huffman, 4> audioTables_;
  std::array<std::uint8_t, kAudioSymbols * 4> oldTable_{};
  bool tablesRead_ = false;
  bool audioBlock_ = false;
  unsigned channels_ = 1;
  unsigned channel_ = 0;
  int channelDelta_ = 0;
  std::array<Audio, 4> audio_{};
  std::array<std::uint64_t, 4> oldDist_{};
  unsigned oldDistPtr_ = 0;
  std::uint64_t lastDist_ = 0;
  std::uint32_t lastLength_ = 0;
};

} // namespace kyv::unrar
