// The RAR 1.5 method (unpack version 15): no transmitted tables; literals, lengths and
// distances are coded with fixed code-length tables whose symbol order adapts as it goes
// (frequently used symbols move toward the short codes), with flag bytes choosing between
// literal runs, long matches and short matches.
#pragma once

#include <array>

#include "unrar/lz_decoder.h"

namespace kyv::unrar {

class Rar15Decoder final : public MemberDecoder {
public:
  void reset(std::uint64_t dictionary) override;
  void decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) override;

private:
  using Set = std::array<std::uint32_t, 256>;
  void initTables();
  static void correct(Set& set, Set& place);
  void readFlags(BitReader& in);
  // The next bit of the flag byte (refilled when spent): it picks what the next item is.
  bool nextFlag(BitReader& in);
  void literal(BitReader& in);
  void longMatch(BitReader& in);
  void shortMatch(BitReader& in);
  void copy(std::uint32_t distance, std::uint32_t length);
  void flush(bool final);

  LzWindow window_;
  Set chSet_{}, chSetA_{}, chSetB_{}, chSetC_{};
  Set nToPl_{}, nToPlB_{}, nToPlC_{};
  std::uint32_t flagBuf_ = 0, avrPlc_ = 0, avrPlcB_ = 0, avrLn1_ = 0, avrLn2_ = 0, avrLn3_ = 0;
  std::uint32_t buf60_ = 0, numHuf_ = 0, stMode_ = 0, lCount_ = 0, nhfb_ = 0, nlzb_ = 0,
                maxDist3_ = 0;
  int flagsCnt_ = 0;
  std::array<std::uint32_t, 4> oldDist_{};
  unsigned oldDistPtr_ = 0;
  std::uint32_t lastDist_ = 0, lastLength_ = 0;
};

} // namespace kyv::unrar
