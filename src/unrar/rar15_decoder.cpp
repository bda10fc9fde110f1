#include "unrar/rar15_decoder.h"

#include <algorithm>
#include <deque>

namespace kyv::unrar {
namespace {

// Fixed codes, each given by the left-aligned 16-bit limits of its lengths (from its first
// length on) and the first symbol index of each length; a table ends with 0xFFFF.
struct FixedCode {
  unsigned start;
  std::array<std::uint32_t, 11> limits;
  std::array<std::uint8_t, 13> first;
};
constexpr FixedCode kL1{
    2,
    {0x8000, 0xa000, 0xc000, 0xd000, 0xe000, 0xea00, 0xee00, 0xf000, 0xf200, 0xf200, 0xffff},
    {0, 0, 0, 2, 3, 5, 7, 11, 16, 20, 24, 32, 32}};
constexpr FixedCode kL2{
    3,
    {0xa000, 0xc000, 0xd000, 0xe000, 0xea00, 0xee00, 0xf000, 0xf200, 0xf240, 0xffff, 0xffff},
    {0, 0, 0, 0, 5, 7, 9, 13, 18, 22, 26, 34, 36}};
constexpr FixedCode kHf0{
    4,
    {0x8000, 0xc000, 0xe000, 0xf200, 0xf200, 0xf200, 0xf200, 0xf200, 0xffff, 0xffff, 0xffff},
    {0, 0, 0, 0, 0, 8, 16, 24, 33, 33, 33, 33, 33}};
constexpr FixedCode kHf1{
    5,
    {0x2000, 0xc000, 0xe000, 0xf000, 0xf200, 0xf200, 0xf7e0, 0xffff, 0xffff, 0xffff, 0xffff},
    {0, 0, 0, 0, 0, 0, 4, 44, 60, 76, 80, 80, 127}};
constexpr FixedCode kHf2{
    5,
    {0x1000, 0x2400, 0x8000, 0xc000, 0xfa00, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
    {0, 0, 0, 0, 0, 0, 2, 7, 53, 117, 233, 0, 0}};
constexpr FixedCode kHf3{
    6,
    {0x0800, 0x2400, 0xee00, 0xfe80, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
    {0, 0, 0, 0, 0, 0, 0, 2, 16, 218, 251, 0, 0}};
constexpr FixedCode kHf4{
    8,
    {0xff00, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff},
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 255, 0, 0, 0}};

std::uint32_t decodeFixed(BitReader& in, const FixedCode& c) {
  const std::uint32_t bits = in.peek(16) & 0xFFF0;
  unsigned len = c.start;
  unsigned i = 0;
  while (c.limits[i] <= bits) {
    ++i;
    ++len;
  }
  if (len >= c.first.size())
    dataError("fixed code out of range");
  in.drop(len);
  return ((bits - (i != 0 ? c.limits[i - 1] : 0)) >> (16 - len)) + c.first[len];
}

// Short-match length codes: the code of length index i is the top bits of kShortXor[i]; the
// second set is used once matches have been long on average. One length in each depends on a
// flag the stream can toggle.
constexpr std::uint8_t kShortLen1[15] = {1, 3, 4, 4, 5, 6, 7, 8, 8, 4, 4, 5, 6, 6, 4};
constexpr std::uint8_t kShortXor1[15] = {0,    0xa0, 0xd0, 0xe0, 0xf0, 0xf8, 0xfc, 0xfe,
                                         0xff, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0};
constexpr std::uint8_t kShortLen2[15] = {2, 3, 3, 3, 4, 4, 5, 6, 6, 4, 4, 5, 6, 6, 4};
constexpr std::uint8_t kShortXor2[15] = {0,    0x40, 0x60, 0xa0, 0xd0, 0xe0, 0xf0, 0xf8,
                                         0xfc, 0xc0, 0x80, 0x90, 0x98, 0x9c, 0xb0};

} // namespace

void Rar15Decoder::correct(Set& set, Set& place) {
  // Reset the low bytes (use counts) by rank group, and the group start positions.
  std::size_t k = 0;
  for (int i = 7; i >= 0; --i)
    for (int j = 0; j < 32; ++j, ++k)
      set[k] = (set[k] & ~0xFFu) | static_cast<std::uint32_t>(i);
  place.fill(0);
  for (int i = 6; i >= 0; --i)
    place[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(7 - i) * 32;
}

void Rar15Decoder::initTables() {
  for (std::uint32_t i = 0; i < 256; ++i) {
    chSet_[i] = chSetB_[i] = i << 8;
    chSetA_[i] = i;
    chSetC_[i] = ((~i + 1) & 0xFF) << 8;
  }
  nToPl_.fill(0);
  nToPlB_.fill(0);
  nToPlC_.fill(0);
  correct(chSetB_, nToPlB_);
}

void Rar15Decoder::reset(std::uint64_t dictionary) {
  window_.allocate(std::max<std::uint64_t>(dictionary, 1u << 16));
  avrPlcB_ = avrLn1_ = avrLn2_ = avrLn3_ = numHuf_ = buf60_ = 0;
  avrPlc_ = 0x3500;
  maxDist3_ = 0x2001;
  nhfb_ = nlzb_ = 0x80;
  oldDist_.fill(0);
  oldDistPtr_ = 0;
  lastDist_ = lastLength_ = 0;
  initTables();
}

void Rar15Decoder::copy(std::uint32_t distance, std::uint32_t length) {
  window_.copyMatch(distance, length);
}

bool Rar15Decoder::nextFlag(BitReader& in) {
  if (--flagsCnt_ < 0) {
    readFlags(in);
    flagsCnt_ = 7;
  }
  const bool set = (flagBuf_ & 0x80) != 0;
  flagBuf_ <<= 1;
  return set;
}

void Rar15Decoder::readFlags(BitReader& in) {
  const std::uint32_t place = decodeFixed(in, kHf2);
  if (place >= 256)
    return;
  std::uint32_t flags;
  std::uint32_t newPlace;
  for (;;) {
    flags = chSetC_[place];
    flagBuf_ = flags >> 8;
    newPlace = nToPlC_[flags++ & 0xFF]++;
    if ((flags & 0xFF) != 0)
      break;
    correct(chSetC_, nToPlC_);
  }
  if (newPlace >= 256)
    dataError("adaptive table position out of range");
  chSetC_[place] = chSetC_[newPlace];
  chSetC_[newPlace] = flags;
}

void Rar15Decoder::shortMatch(BitReader& in) {
  numHuf_ = 0;
  std::uint32_t bits = in.peek(16);
  if (lCount_ == 2) {
    in.drop(1);
    if (bits >= 0x8000) {
      copy(lastDist_, lastLength_);
      return;
    }
    bits <<= 1;
    lCount_ = 0;
  }
  bits >>= 8;
  const bool second = avrLn1_ >= 37;
  unsigned length = 0;
  unsigned codeLen = 0;
  for (;; ++length) {
    if (length >= 15)
      dataError("short match code not found");
    codeLen = second ? (length == 3 ? buf60_ + 3 : kShortLen2[length])
                     : (length == 1 ? buf60_ + 3 : kShortLen1[length]);
    const std::uint32_t x = second ? kShortXor2[length] : kShortXor1[length];
    if (((bits ^ x) & (~(0xFFu >> codeLen) & 0xFFu)) == 0)
      break;
  }
  in.drop(codeLen);
  if (length >= 9) {
    if (length == 9) {
      ++lCount_;
      copy(lastDist_, lastLength_);
      return;
    }
    if (length == 14) {
      lCount_ = 0;
      const std::uint32_t len = decodeFixed(in, kL2) + 5;
      const std::uint32_t distance = (in.peek(16) >> 1) | 0x8000;
      in.drop(15);
      lastLength_ = len;
      lastDist_ = distance;
      copy(distance, len);
      return;
    }
    lCount_ = 0;
    const unsigned saved = length;
    const std::uint32_t distance = oldDist_[(oldDistPtr_ - (length - 9)) & 3];
    std::uint32_t len = decodeFixed(in, kL1) + 2;
    if (len == 0x101 && saved == 10) {
      buf60_ ^= 1;
      return;
    }
    if (distance > 256)
      ++len;
    if (distance >= maxDist3_)
      ++len;
    oldDist_[oldDistPtr_++ & 3] = distance;
    oldDistPtr_ &= 3;
    lastLength_ = len;
    lastDist_ = distance;
    copy(distance, len);
    return;
  }
  lCount_ = 0;
  avrLn1_ += length;
  avrLn1_ -= avrLn1_ >> 4;
  const std::uint32_t place = decodeFixed(in, kHf2) & 0xFF;
  std::uint32_t distance = chSetA_[place];
  if (place != 0) {
    chSetA_[place] = chSetA_[place - 1];
    chSetA_[place - 1] = distance;
  }
  const std::uint32_t len = length + 2;
  ++distance;
  oldDist_[oldDistPtr_++ & 3] = distance;
  oldDistPtr_ &= 3;
  lastLength_ = len;
  lastDist_ = distance;
  copy(distance, len);
}

void Rar15Decoder::longMatch(BitReader& in) {
  numHuf_ = 0;
  nlzb_ += 16;
  if (nlzb_ > 0xFF) {
    nlzb_ = 0x90;
    nhfb_ >>= 1;
  }
  const std::uint32_t oldAvr2 = avrLn2_;
  std::uint32_t length;
  std::uint32_t bits = in.peek(16);
  if (avrLn2_ >= 122) {
    length = decodeFixed(in, kL2);
  } else if (avrLn2_ >= 64) {
    length = decodeFixed(in, kL1);
  } else if (bits < 0x100) {
    length = bits;
    in.drop(16);
  } else {
    for (length = 0; ((bits << length) & 0x8000) == 0; ++length) {
    }
    in.drop(length + 1);
  }
  avrLn2_ += length;
  avrLn2_ -= avrLn2_ >> 5;
  std::uint32_t place;
  if (avrPlcB_ > 0x28FF)
    place = decodeFixed(in, kHf2);
  else if (avrPlcB_ > 0x6FF)
    place = decodeFixed(in, kHf1);
  else
    place = decodeFixed(in, kHf0);
  avrPlcB_ += place;
  avrPlcB_ -= avrPlcB_ >> 8;
  std::uint32_t distance;
  std::uint32_t newPlace;
  for (;;) {
    distance = chSetB_[place & 0xFF];
    newPlace = nToPlB_[distance++ & 0xFF]++;
    if ((distance & 0xFF) != 0)
      break;
    correct(chSetB_, nToPlB_);
  }
  if (newPlace >= 256)
    dataError("adaptive table position out of range");
  chSetB_[place & 0xFF] = chSetB_[newPlace];
  chSetB_[newPlace] = distance;
  distance = ((distance & 0xFF00) | (in.peek(16) >> 8)) >> 1;
  in.drop(7);
  const std::uint32_t oldAvr3 = avrLn3_;
  if (length != 1 && length != 4) {
    if (length == 0 && distance <= maxDist3_) {
      ++avrLn3_;
      avrLn3_ -= avrLn3_ >> 8;
    } else if (avrLn3_ > 0) {
      --avrLn3_;
    }
  }
  length += 3;
  if (distance >= maxDist3_)
    ++length;
  if (distance <= 256)
    length += 8;
  maxDist3_ = (oldAvr3 > 0xB0 || (avrPlc_ >= 0x2A00 && oldAvr2 < 0x40)) ? 0x7F00 : 0x2001;
  oldDist_[oldDistPtr_++ & 3] = distance;
  oldDistPtr_ &= 3;
  lastLength_ = length;
  lastDist_ = distance;
  copy(distance, length);
}

void Rar15Decoder::literal(BitReader& in) {
  const std::uint32_t bits = in.peek(16);
  std::uint32_t place;
  if (avrPlc_ > 0x75FF)
    place = decodeFixed(in, kHf4);
  else if (avrPlc_ > 0x5DFF)
    place = decodeFixed(in, kHf3);
  else if (avrPlc_ > 0x35FF)
    place = decodeFixed(in, kHf2);
  else if (avrPlc_ > 0x0DFF)
    place = decodeFixed(in, kHf1);
  else
    place = decodeFixed(in, kHf0);
  place &= 0xFF;
  if (stMode_ != 0) {
    if (place == 0 && bits > 0xFFF)
      place = 0x100;
    if (place-- == 0) {
      const std::uint32_t b = in.peek(16);
      in.drop(1);
      if (b & 0x8000) {
        numHuf_ = stMode_ = 0;
        return;
      }
      const std::uint32_t length = (b & 0x4000) ? 4 : 3;
      in.drop(1);
      std::uint32_t distance = decodeFixed(in, kHf2);
      distance = (distance << 5) | (in.peek(16) >> 11);
      in.drop(5);
      copy(distance, length);
      return;
    }
  } else if (numHuf_++ >= 16 && flagsCnt_ == 0) {
    stMode_ = 1;
  }
  avrPlc_ += place;
  avrPlc_ -= avrPlc_ >> 8;
  nhfb_ += 16;
  if (nhfb_ > 0xFF) {
    nhfb_ = 0x90;
    nlzb_ >>= 1;
  }
  window_.put(static_cast<std::uint8_t>(chSet_[place] >> 8));
  std::uint32_t cur;
  std::uint32_t newPlace;
  for (;;) {
    cur = chSet_[place];
    newPlace = nToPl_[cur++ & 0xFF]++;
    if ((cur & 0xFF) <= 0xA1)
      break;
    correct(chSet_, nToPl_);
  }
  if (newPlace >= 256)
    dataError("adaptive table position out of range");
  chSet_[place] = chSet_[newPlace];
  chSet_[newPlace] = cur;
}

void Rar15Decoder::flush(bool final) {
  std::deque<LzFilter> none;
  window_.flush(none, false, final, [](const LzFilter&, std::vector<std::uint8_t>&) {});
}

void Rar15Decoder::decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) {
  window_.startMember(&out, size);
  // The flag state starts afresh with every member, solid or not; the adaptive tables carry on.
  flagsCnt_ = 0;
  flagBuf_ = 0;
  stMode_ = 0;
  lCount_ = 0;
  if (size == 0) {
    flush(true);
    return;
  }
  readFlags(in);
  flagsCnt_ = 8;
  while (!window_.memberDone()) {
    if (window_.pos() >= window_.flushLimit())
      flush(false);
    if (stMode_ != 0) {
      literal(in);
      continue;
    }
    if (nextFlag(in)) {
      if (nlzb_ > nhfb_)
        longMatch(in);
      else
        literal(in);
    } else if (nextFlag(in)) {
      if (nlzb_ > nhfb_)
        literal(in);
      else
        longMatch(in);
    } else {
      shortMatch(in);
    }
  }
  flush(true);
}

} // namespace kyv::unrar
