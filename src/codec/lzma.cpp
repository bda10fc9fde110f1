#include "codec/lzma.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "codec/lz_copy.h"

namespace kyv::codec {

namespace {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

#define KYV_LZMA_INLINE inline __attribute__((always_inline))

// The range coder: 11-bit probabilities adapted by 1/32 of the distance to the bound, and a
// normalisation to at least 2^24 before each bit.
constexpr u32 kTop = 1u << 24;
constexpr unsigned kModelBits = 11;
constexpr u32 kModelTotal = 1u << kModelBits;
constexpr unsigned kMoveBits = 5;
constexpr u16 kProbInit = kModelTotal / 2;

constexpr unsigned kStates = 12;
constexpr unsigned kMaxPosStates = 16; // pb <= 4
constexpr unsigned kLitStates = 7;     // states below this follow a literal
constexpr unsigned kEndPosModelIndex = 14;
constexpr unsigned kFullDistances = 128;
constexpr unsigned kAlignBits = 4;
constexpr unsigned kMatchMinLen = 2;
constexpr u32 kEndMarkerDistance = 0xFFFFFFFF;

// Length coder: choice, choice2, low and mid trees per position state, one high tree.
constexpr std::size_t kLenChoice = 0, kLenChoice2 = 1, kLenLow = 2;
constexpr std::size_t kLenMid = kLenLow + kMaxPosStates * 8;
constexpr std::size_t kLenHigh = kLenMid + kMaxPosStates * 8;
constexpr std::size_t kLenCoderSize = kLenHigh + 256;

// The probability array.
constexpr std::size_t kIsMatch = 0;
constexpr std::size_t kIsRep = kIsMatch + kStates * kMaxPosStates;
constexpr std::size_t kIsRepG0 = kIsRep + kStates;
constexpr std::size_t kIsRepG1 = kIsRepG0 + kStates;
constexpr std::size_t kIsRepG2 = kIsRepG1 + kStates;
constexpr std::size_t kIsRep0Long = kIsRepG2 + kStates;
constexpr std::size_t kPosSlot = kIsRep0Long + kStates * kMaxPosStates;
constexpr std::size_t kSpecPos = kPosSlot + 4 * 64;
constexpr std::size_t kAlign = kSpecPos + 1 + kFullDistances - kEndPosModelIndex;
constexpr std::size_t kLenCoder = kAlign + (1u << kAlignBits);
constexpr std::size_t kRepLenCoder = kLenCoder + kLenCoderSize;
constexpr std::size_t kLiteral = kRepLenCoder + kLenCoderSize;
constexpr std::size_t kLiteralCoderSize = 0x300;

// The most input one symbol can take: one byte per normalisation, at most one per bit decoded
// (a bit leaves at least 2^18 of a range of 2^24), and a match decodes at most 2 + 10 + 6 + 4
// modelled bits and 26 direct bits (one normalisation per 8 of those). The fast loop runs while
// this much is buffered; closer to the end each symbol is decoded from a zero-padded copy.
constexpr std::size_t kSymbolMargin = 32;

// The window is a ring with this much room beyond the dictionary, so that the word copies of a
// match may run past its end without touching a byte the dictionary still reaches.
constexpr std::size_t kRingSlack = 32;
constexpr std::size_t kMinWindow = 4096;

// Output is handed to a sink in slices of at most this size.
constexpr std::size_t kSinkSlice = 1u << 20;

struct Rc {
  u32 range;
  u32 code;
  const u8* p;
};

KYV_LZMA_INLINE void normalize(Rc& rc) {
  if (rc.range < kTop) {
    rc.range <<= 8;
    rc.code = (rc.code << 8) | *rc.p++;
  }
}

KYV_LZMA_INLINE u32 decodeBit(Rc& rc, u16* prob) {
  normalize(rc);
  const u32 v = *prob;
  const u32 bound = (rc.range >> kModelBits) * v;
  if (rc.code < bound) {
    rc.range = bound;
    *prob = static_cast<u16>(v + ((kModelTotal - v) >> kMoveBits));
    return 0;
  }
  rc.range -= bound;
  rc.code -= bound;
  *prob = static_cast<u16>(v - (v >> kMoveBits));
  return 1;
}

// The same bit without a branch on its value, for the bits of literals and trees: they are
// close to random, so a branch on them is mispredicted about half the time, while the bits
// chosen above (match or literal, which repeat) are mostly predicted right.
KYV_LZMA_INLINE u32 decodeTreeBit(Rc& rc, u16* prob) {
  normalize(rc);
  const u32 v = *prob;
  const u32 bound = (rc.range >> kModelBits) * v;
  // All ones when the bit is 0 (code below bound). The empty asm hides how it was made, so that
  // the compiler keeps the selects below as arithmetic instead of turning them back into jumps.
  u32 zero = static_cast<u32>((u64{rc.code} - bound) >> 32);
  __asm__("" : "+r"(zero));
  rc.range = (bound & zero) | ((rc.range - bound) & ~zero);
  rc.code -= bound & ~zero;
  // Both adaptations as one: v - (v >> 5) for a 1, v + ((2048 - v) >> 5) for a 0, the latter
  // written v - floor((v - 2048 + 31) / 32) so that one arithmetic shift serves both.
  const int offset = static_cast<int>(zero & static_cast<u32>(31 - static_cast<int>(kModelTotal)));
  *prob = static_cast<u16>(static_cast<int>(v) - ((static_cast<int>(v) + offset) >> kMoveBits));
  return zero + 1;
}

// A bit tree of n levels, most significant bit first; nodes are numbered from 1.
template <unsigned kBits> KYV_LZMA_INLINE u32 decodeTree(Rc& rc, u16* probs) {
  u32 m = 1;
  for (unsigned i = 0; i < kBits; ++i)
    m = (m << 1) | decodeTreeBit(rc, probs + m);
  return m - (1u << kBits);
}

// The same tree read least significant bit first.
KYV_LZMA_INLINE u32 decodeReverseTree(Rc& rc, u16* probs, unsigned bits) {
  u32 m = 1, result = 0;
  for (unsigned i = 0; i < bits; ++i) {
    const u32 b = decodeTreeBit(rc, probs + m);
    m = (m << 1) | b;
    result |= b << i;
  }
  return result;
}

// Bits of probability one half, without a model; n >= 1.
KYV_LZMA_INLINE u32 decodeDirect(Rc& rc, unsigned n) {
  u32 result = 0;
  do {
    normalize(rc);
    rc.range >>= 1;
    rc.code -= rc.range;
    const u32 t = 0u - (rc.code >> 31); // all ones when the bit is 0
    rc.code += rc.range & t;
    result = (result << 1) + (t + 1);
  } while (--n != 0);
  return result;
}

// Length minus kMatchMinLen: 0-7 low, 8-15 mid, 16-271 high.
KYV_LZMA_INLINE u32 decodeLength(Rc& rc, u16* probs, u32 posState) {
  if (decodeBit(rc, probs + kLenChoice) == 0)
    return decodeTree<3>(rc, probs + kLenLow + posState * 8);
  if (decodeBit(rc, probs + kLenChoice2) == 0)
    return 8 + decodeTree<3>(rc, probs + kLenMid + posState * 8);
  return 16 + decodeTree<8>(rc, probs + kLenHigh);
}

enum class Loop { Go, EndMarker, BadDistance };

} // namespace

class LzmaDecoder::Impl {
public:
  enum class Mode { None, Lzma, Lzma2 };
  enum class Chunk { Control, Lzma, Copy };

  LzmaStatus start(Mode m, std::uint32_t dictionarySize, std::uint64_t unpackedSize,
                   unsigned literalBits);
  LzmaStatus setProperties(const LzmaProperties& p);
  LzmaStatus step(InputBuffer& in, std::size_t maxOut);

  Mode mode = Mode::None;
  std::unique_ptr<u8[]> window;
  std::size_t allocated = 0; // bytes behind `window`
  std::size_t ringSize = 0;  // the ring's modulus
  std::size_t usable = 0;    // the farthest a match may reach
  std::size_t pos = 0;       // next write in the ring
  std::size_t stepStart = 0; // where the last step's output begins
  u64 sinceReset = 0;        // output since the dictionary was last reset
  u64 produced = 0;
  u64 declared = kLzmaUnknownSize;
  LzmaStatus endStatus = LzmaStatus::Ok; // what every step returns once the stream is over

  std::vector<u16> probs;
  unsigned lc = 0, lp = 0, pb = 0;
  u32 range = 0, code = 0;
  unsigned state = 0;
  u32 rep0 = 0, rep1 = 0, rep2 = 0, rep3 = 0; // distances minus one
  std::size_t pending = 0;                    // bytes of a match cut off by the output limit
  bool needRangeInit = false;

  // LZMA2.
  Chunk chunk = Chunk::Control;
  u32 chunkLeft = 0;
  u32 chunkPacked = 0;
  u64 chunkInputStart = 0;
  bool needDictReset = true;
  bool needProperties = true;

private:
  void resetState();
  LzmaStatus initRange(InputBuffer& in);
  LzmaStatus finishRange(InputBuffer& in);
  void copyPending(std::size_t limit);
  Loop decodeSymbols(Rc& rc, const u8* inputLimit, std::size_t limit);
  LzmaStatus runSymbols(InputBuffer& in, std::size_t limit);
  LzmaStatus stepLzma(InputBuffer& in, std::size_t limit);
  LzmaStatus stepLzma2(InputBuffer& in, std::size_t limit);
  LzmaStatus readControl(InputBuffer& in);
  LzmaStatus copyStored(InputBuffer& in, std::size_t limit);
};

LzmaStatus LzmaDecoder::Impl::start(Mode m, std::uint32_t dictionarySize,
                                    std::uint64_t unpackedSize, unsigned literalBits) {
  mode = Mode::None;
  u64 need = std::max<u64>(dictionarySize, kMinWindow);
  if (unpackedSize != kLzmaUnknownSize)
    need = std::max<u64>(std::min<u64>(need, unpackedSize), kMinWindow);
  if (need > kLzmaMaxDictionary)
    return LzmaStatus::DictionaryTooLarge;
  const std::size_t ring = static_cast<std::size_t>(need) + kRingSlack;
  const std::size_t bytes = ring + kCopySlack;
  if (allocated < bytes || allocated > 2 * bytes) {
    window.reset();
    allocated = 0;
    window.reset(new (std::nothrow) u8[bytes]);
    if (!window)
      return LzmaStatus::NoMemory;
    allocated = bytes;
  }
  const std::size_t probCount = kLiteral + (kLiteralCoderSize << literalBits);
  try {
    probs.assign(probCount, kProbInit);
  } catch (const std::bad_alloc&) {
    return LzmaStatus::NoMemory;
  }
  ringSize = ring;
  usable = static_cast<std::size_t>(need);
  pos = stepStart = 0;
  sinceReset = produced = 0;
  declared = unpackedSize;
  endStatus = LzmaStatus::Ok;
  pending = 0;
  state = 0;
  rep0 = rep1 = rep2 = rep3 = 0;
  needRangeInit = m == Mode::Lzma;
  chunk = Chunk::Control;
  chunkLeft = chunkPacked = 0;
  needDictReset = needProperties = true;
  mode = m;
  return LzmaStatus::Ok;
}

LzmaStatus LzmaDecoder::Impl::setProperties(const LzmaProperties& p) {
  if (kLiteral + (kLiteralCoderSize << (p.lc + p.lp)) > probs.size())
    return LzmaStatus::BadProperties;
  lc = p.lc;
  lp = p.lp;
  pb = p.pb;
  return LzmaStatus::Ok;
}

void LzmaDecoder::Impl::resetState() {
  std::fill(probs.begin(),
            probs.begin() +
                static_cast<std::ptrdiff_t>(kLiteral + (kLiteralCoderSize << (lc + lp))),
            kProbInit);
  state = 0;
  rep0 = rep1 = rep2 = rep3 = 0;
  pending = 0;
}

LzmaStatus LzmaDecoder::Impl::initRange(InputBuffer& in) {
  const unsigned overread = in.overread;
  const u8 first = in.byteOrPad();
  code = 0;
  for (int i = 0; i < 4; ++i)
    code = (code << 8) | in.byteOrPad();
  range = 0xFFFFFFFF;
  if (in.overread != overread)
    return LzmaStatus::Truncated;
  // The encoder's first output byte is the carry cache, always zero; a code at the top of the
  // range cannot come from any encoder either.
  if (first != 0 || code == range)
    return LzmaStatus::BadRangeStart;
  return LzmaStatus::Ok;
}

// The normalisation that follows the last bit: the encoder's flush accounts for it, so a
// stream is read exactly to its end.
LzmaStatus LzmaDecoder::Impl::finishRange(InputBuffer& in) {
  if (range < kTop) {
    const unsigned overread = in.overread;
    range <<= 8;
    code = (code << 8) | in.byteOrPad();
    if (in.overread != overread)
      return LzmaStatus::Truncated;
  }
  return LzmaStatus::Ok;
}

// Continues a match cut off by the last step's limit.
void LzmaDecoder::Impl::copyPending(std::size_t limit) {
  const std::size_t n = std::min(pending, limit - pos);
  std::size_t src = pos >= rep0 + 1 ? pos - rep0 - 1 : pos + ringSize - rep0 - 1;
  for (std::size_t i = 0; i < n; ++i) {
    window[pos++] = window[src++];
    if (src == ringSize)
      src = 0;
  }
  pending -= n;
  sinceReset += n;
}

// The hot loop: symbols while the input holds kSymbolMargin bytes (rc.p < inputLimit) and the
// window has room (pos < limit). The coder's state lives in locals meanwhile.
Loop LzmaDecoder::Impl::decodeSymbols(Rc& rcIn, const u8* inputLimit, std::size_t limit) {
  Rc rc = rcIn;
  u16* const pr = probs.data();
  u8* const w = window.get();
  std::size_t p = pos;
  const std::size_t ring = ringSize;
  const u64 reach = usable;
  unsigned st = state;
  u32 r0 = rep0, r1 = rep1, r2 = rep2, r3 = rep3;
  u64 total = sinceReset;
  const u32 pbMask = (1u << pb) - 1;
  const u32 lpMask = (1u << lp) - 1;
  const unsigned lcBits = lc;
  Loop result = Loop::Go;

  while (p < limit && rc.p < inputLimit) {
    const u32 posState = static_cast<u32>(total) & pbMask;
    if (decodeBit(rc, pr + kIsMatch + st * kMaxPosStates + posState) == 0) {
      const u32 prev = total != 0 ? w[(p != 0 ? p : ring) - 1] : 0;
      u16* const lit =
          pr + kLiteral +
          kLiteralCoderSize *
              ((((static_cast<u32>(total) & lpMask) << lcBits) + (prev >> (8 - lcBits))));
      u32 sym = 1;
      if (st < kLitStates) {
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
        sym = (sym << 1) | decodeTreeBit(rc, lit + sym);
      } else {
        // After a match the byte at rep0 predicts this one: its bits choose between two more
        // sets of probabilities until the first bit that differs from it.
        u32 matchByte = w[p > r0 ? p - r0 - 1 : p + ring - r0 - 1];
        u32 offs = 0x100; // 0x100 while the bits agree, then 0
        do {
          matchByte <<= 1;
          const u32 matchBit = matchByte & offs;
          const u32 b = decodeTreeBit(rc, lit + offs + matchBit + sym);
          sym = (sym << 1) | b;
          offs &= ~matchBit ^ (0u - b);
        } while (sym < 0x100);
      }
      w[p++] = static_cast<u8>(sym);
      ++total;
      st = st < 4 ? 0 : (st < 10 ? st - 3 : st - 6);
      continue;
    }

    u32 len;
    if (decodeBit(rc, pr + kIsRep + st) == 0) {
      len = decodeLength(rc, pr + kLenCoder, posState);
      st = st < kLitStates ? 7 : 10;
      const u32 lenState = len < 3 ? len : 3;
      const u32 slot = decodeTree<6>(rc, pr + kPosSlot + lenState * 64);
      u32 dist = slot;
      if (slot >= 4) {
        const unsigned directBits = (slot >> 1) - 1;
        dist = (2 | (slot & 1)) << directBits;
        if (slot < kEndPosModelIndex) {
          dist += decodeReverseTree(rc, pr + kSpecPos + dist - slot, directBits);
        } else {
          dist += decodeDirect(rc, directBits - kAlignBits) << kAlignBits;
          dist += decodeReverseTree(rc, pr + kAlign, kAlignBits);
        }
      }
      if (dist == kEndMarkerDistance) {
        result = Loop::EndMarker;
        break;
      }
      r3 = r2;
      r2 = r1;
      r1 = r0;
      r0 = dist;
    } else {
      if (decodeBit(rc, pr + kIsRepG0 + st) == 0) {
        if (decodeBit(rc, pr + kIsRep0Long + st * kMaxPosStates + posState) == 0) {
          // One byte from rep0.
          if (r0 >= total) {
            result = Loop::BadDistance;
            break;
          }
          st = st < kLitStates ? 9 : 11;
          w[p] = w[p > r0 ? p - r0 - 1 : p + ring - r0 - 1];
          ++p;
          ++total;
          continue;
        }
      } else {
        u32 dist;
        if (decodeBit(rc, pr + kIsRepG1 + st) == 0) {
          dist = r1;
        } else {
          if (decodeBit(rc, pr + kIsRepG2 + st) == 0) {
            dist = r2;
          } else {
            dist = r3;
            r3 = r2;
          }
          r2 = r1;
        }
        r1 = r0;
        r0 = dist;
      }
      len = decodeLength(rc, pr + kRepLenCoder, posState);
      st = st < kLitStates ? 8 : 11;
    }
    // Repeated distances were checked when first seen, but a reset dictionary may have made
    // them reach too far.
    if (r0 >= total || r0 >= reach) {
      result = Loop::BadDistance;
      break;
    }

    std::size_t n = len + kMatchMinLen;
    const std::size_t room = limit - p;
    if (n > room) {
      pending = n - room;
      n = room;
    }
    const std::size_t distance = std::size_t{r0} + 1;
    if (p >= distance) {
      copyMatchWithSlack(w + p, distance, n);
    } else {
      std::size_t src = p + ring - distance;
      for (std::size_t i = 0; i < n; ++i) {
        w[p + i] = w[src++];
        if (src == ring)
          src = 0;
      }
    }
    p += n;
    total += n;
  }

  rcIn = rc;
  pos = p;
  state = st;
  rep0 = r0;
  rep1 = r1;
  rep2 = r2;
  rep3 = r3;
  sinceReset = total;
  return result;
}

// Symbols until the window reaches limit, an end marker or damage, refilling the input as it
// goes. Returns Ok at the limit, StreamEnd at an end marker.
LzmaStatus LzmaDecoder::Impl::runSymbols(InputBuffer& in, std::size_t limit) {
  if (pending > 0)
    copyPending(limit);
  while (pos < limit && pending == 0) {
    if (in.available() < kSymbolMargin && !in.atEnd()) {
      in.fillBuffer();
      continue;
    }
    Rc rc{range, code, nullptr};
    Loop r;
    if (in.available() >= kSymbolMargin) {
      rc.p = in.next;
      r = decodeSymbols(rc, in.end - kSymbolMargin + 1, limit);
      in.next = rc.p;
    } else {
      // Near the end of the input: one symbol at a time from a zero-padded copy; a symbol that
      // reads into the padding means the input was cut short, and is taken back.
      std::array<u8, 2 * kSymbolMargin> tail{};
      const std::size_t avail = in.available();
      std::memcpy(tail.data(), in.next, avail);
      const std::size_t pos0 = pos;
      const u64 total0 = sinceReset;
      rc.p = tail.data();
      r = decodeSymbols(rc, tail.data() + 1, limit);
      const auto used = static_cast<std::size_t>(rc.p - tail.data());
      if (used > avail) {
        in.next = in.end;
        pos = pos0;
        sinceReset = total0;
        pending = 0;
        return LzmaStatus::Truncated;
      }
      in.next += used;
    }
    range = rc.range;
    code = rc.code;
    if (r == Loop::EndMarker)
      return LzmaStatus::StreamEnd;
    if (r == Loop::BadDistance)
      return LzmaStatus::DistanceTooFar;
  }
  return LzmaStatus::Ok;
}

LzmaStatus LzmaDecoder::Impl::stepLzma(InputBuffer& in, std::size_t limit) {
  if (needRangeInit) {
    if (const LzmaStatus s = initRange(in); s != LzmaStatus::Ok)
      return s;
    needRangeInit = false;
  }
  const bool sized = declared != kLzmaUnknownSize;
  if (sized)
    limit = static_cast<std::size_t>(std::min<u64>(limit, pos + (declared - produced)));
  const LzmaStatus s = runSymbols(in, limit);
  const u64 done = produced + (pos - stepStart);
  if (s == LzmaStatus::StreamEnd) {
    if (sized && done < declared)
      return LzmaStatus::EarlyEndMarker;
    if (const LzmaStatus f = finishRange(in); f != LzmaStatus::Ok)
      return f;
    if (code != 0)
      return LzmaStatus::BadFinish;
    return LzmaStatus::StreamEnd;
  }
  if (s != LzmaStatus::Ok)
    return s;
  if (sized && done == declared) {
    if (pending > 0)
      return LzmaStatus::MatchPastEnd;
    // An end marker may follow a declared size; it is not read.
    if (const LzmaStatus f = finishRange(in); f != LzmaStatus::Ok)
      return f;
    return LzmaStatus::StreamEnd;
  }
  return LzmaStatus::Ok;
}

namespace {
// Big-endian 16-bit field of a chunk header.
u32 readBe16(InputBuffer& in) {
  const u32 hi = in.byteOrPad();
  return (hi << 8) | in.byteOrPad();
}
} // namespace

// Control byte: 0 ends the stream; 1 and 2 are stored chunks (1 resetting the dictionary);
// 0x80 and above are LZMA chunks whose bits 5-6 say what is reset (1 state, 2 state and new
// properties, 3 also the dictionary) and bits 0-4 are bits 16-20 of the unpacked size - 1.
LzmaStatus LzmaDecoder::Impl::readControl(InputBuffer& in) {
  const unsigned overread = in.overread;
  const u8 control = in.byteOrPad();
  if (in.overread != overread)
    return LzmaStatus::Truncated;
  if (control == 0) {
    return LzmaStatus::StreamEnd;
  }
  if (control == 1 || control >= 0xE0) {
    sinceReset = 0;
    needDictReset = false;
  } else if (needDictReset) {
    return LzmaStatus::BadChunk;
  }
  if (control < 0x80) {
    if (control > 2)
      return LzmaStatus::BadChunk;
    chunkLeft = readBe16(in) + 1;
    if (in.overread != overread)
      return LzmaStatus::Truncated;
    chunk = Chunk::Copy;
    return LzmaStatus::Ok;
  }
  chunkLeft = ((u32{control} & 0x1F) << 16) + readBe16(in) + 1;
  chunkPacked = readBe16(in) + 1;
  const unsigned reset = (control >> 5) & 3;
  if (reset >= 2) {
    const u8 propByte = in.byteOrPad();
    const auto props = decodeLzmaPropertiesByte(propByte);
    if (in.overread != overread)
      return LzmaStatus::Truncated;
    if (!props || props->lc + props->lp > 4 || setProperties(*props) != LzmaStatus::Ok)
      return LzmaStatus::BadProperties;
    needProperties = false;
  } else if (needProperties) {
    return LzmaStatus::BadChunk;
  }
  if (in.overread != overread)
    return LzmaStatus::Truncated;
  if (reset >= 1)
    resetState();
  chunkInputStart = in.consumed();
  if (const LzmaStatus s = initRange(in); s != LzmaStatus::Ok)
    return s;
  chunk = Chunk::Lzma;
  return LzmaStatus::Ok;
}

LzmaStatus LzmaDecoder::Impl::copyStored(InputBuffer& in, std::size_t limit) {
  while (chunkLeft > 0 && pos < limit) {
    if (in.available() == 0) {
      if (in.atEnd())
        return LzmaStatus::Truncated;
      in.fillBuffer();
      continue;
    }
    const std::size_t n = std::min({in.available(), std::size_t{chunkLeft}, limit - pos});
    std::memcpy(window.get() + pos, in.next, n);
    in.next += n;
    pos += n;
    sinceReset += n;
    chunkLeft -= static_cast<u32>(n);
  }
  if (chunkLeft == 0)
    chunk = Chunk::Control;
  return LzmaStatus::Ok;
}

LzmaStatus LzmaDecoder::Impl::stepLzma2(InputBuffer& in, std::size_t limit) {
  for (;;) {
    switch (chunk) {
    case Chunk::Control:
      if (const LzmaStatus s = readControl(in); s != LzmaStatus::Ok)
        return s;
      break;
    case Chunk::Copy:
      if (const LzmaStatus s = copyStored(in, limit); s != LzmaStatus::Ok)
        return s;
      if (pos == limit)
        return LzmaStatus::Ok;
      break;
    case Chunk::Lzma: {
      const std::size_t before = pos;
      const std::size_t chunkLimit = std::min(limit, pos + chunkLeft);
      const LzmaStatus s = runSymbols(in, chunkLimit);
      chunkLeft -= static_cast<u32>(pos - before);
      if (s == LzmaStatus::StreamEnd)
        return LzmaStatus::EarlyEndMarker;
      if (s != LzmaStatus::Ok)
        return s;
      if (chunkLeft == 0) {
        if (pending > 0)
          return LzmaStatus::MatchPastEnd;
        if (const LzmaStatus f = finishRange(in); f != LzmaStatus::Ok)
          return f;
        if (code != 0)
          return LzmaStatus::BadFinish;
        if (in.consumed() - chunkInputStart != chunkPacked)
          return LzmaStatus::ChunkSizeMismatch;
        chunk = Chunk::Control;
      }
      if (pos == limit)
        return LzmaStatus::Ok;
      break;
    }
    }
  }
}

// Decodes up to maxOut bytes into the ring from pos; a step never crosses the ring's end.
LzmaStatus LzmaDecoder::Impl::step(InputBuffer& in, std::size_t maxOut) {
  if (mode == Mode::None)
    return LzmaStatus::NotStarted;
  if (pos == ringSize)
    pos = 0;
  stepStart = pos;
  if (endStatus != LzmaStatus::Ok)
    return endStatus;
  const std::size_t limit = pos + std::min(maxOut, ringSize - pos);
  const LzmaStatus s = mode == Mode::Lzma ? stepLzma(in, limit) : stepLzma2(in, limit);
  produced += pos - stepStart;
  // Nothing more comes out of a stream that ended or is damaged.
  if (s == LzmaStatus::StreamEnd || isLzmaError(s))
    endStatus = s;
  return s;
}

LzmaDecoder::LzmaDecoder() : impl_(std::make_unique<Impl>()) {}
LzmaDecoder::~LzmaDecoder() = default;

LzmaStatus LzmaDecoder::startLzma(const LzmaProperties& props, std::uint64_t unpackedSize) {
  if (props.lc > 8 || props.lp > 4 || props.pb > 4)
    return LzmaStatus::BadProperties;
  if (const LzmaStatus s =
          impl_->start(Impl::Mode::Lzma, props.dictionarySize, unpackedSize, props.lc + props.lp);
      s != LzmaStatus::Ok)
    return s;
  return impl_->setProperties(props);
}

LzmaStatus LzmaDecoder::startLzma2(std::uint32_t dictionarySize, std::uint64_t unpackedSize) {
  // LZMA2 limits lc + lp to 4.
  return impl_->start(Impl::Mode::Lzma2, dictionarySize, unpackedSize, 4);
}

LzmaStatus LzmaDecoder::read(InputBuffer& in, std::span<std::byte> out, std::size_t& produced) {
  produced = 0;
  while (produced < out.size()) {
    const LzmaStatus s = impl_->step(in, out.size() - produced);
    const std::size_t n = impl_->pos - impl_->stepStart;
    if (n > 0)
      std::memcpy(out.data() + produced, impl_->window.get() + impl_->stepStart, n);
    produced += n;
    if (s != LzmaStatus::Ok)
      return s;
  }
  return LzmaStatus::Ok;
}

LzmaStatus LzmaDecoder::run(InputBuffer& in, ByteSink& out, std::uint64_t outputLimit) {
  std::uint64_t written = 0;
  for (;;) {
    if (written == outputLimit) {
      // The stream may end right here: a step that may give nothing tells.
      const LzmaStatus s = impl_->step(in, 0);
      return s == LzmaStatus::Ok ? LzmaStatus::LimitReached : s;
    }
    const auto maxOut =
        static_cast<std::size_t>(std::min<std::uint64_t>(kSinkSlice, outputLimit - written));
    const LzmaStatus s = impl_->step(in, maxOut);
    const std::size_t n = impl_->pos - impl_->stepStart;
    if (n > 0 &&
        !out.write(std::span<const std::byte>(
            reinterpret_cast<const std::byte*>(impl_->window.get() + impl_->stepStart), n)))
      return LzmaStatus::WriteRefused;
    written += n;
    if (s != LzmaStatus::Ok)
      return s;
  }
}

std::uint64_t LzmaDecoder::produced() const { return impl_->produced; }
std::size_t LzmaDecoder::windowSize() const { return impl_->allocated; }

std::optional<LzmaProperties> decodeLzmaPropertiesByte(std::uint8_t b) {
  if (b >= 9 * 5 * 5)
    return std::nullopt;
  LzmaProperties p;
  p.lc = b % 9;
  b /= 9;
  p.lp = b % 5;
  p.pb = b / 5;
  return p;
}

std::optional<LzmaProperties> parseLzmaProperties(std::span<const std::byte> props) {
  if (props.size() < 5)
    return std::nullopt;
  auto p = decodeLzmaPropertiesByte(static_cast<std::uint8_t>(props[0]));
  if (!p)
    return std::nullopt;
  p->dictionarySize = 0;
  for (int i = 4; i >= 1; --i)
    p->dictionarySize =
        (p->dictionarySize << 8) | static_cast<std::uint8_t>(props[static_cast<std::size_t>(i)]);
  return p;
}

std::optional<std::uint32_t> lzma2DictionarySize(std::uint8_t b) {
  if (b > 40)
    return std::nullopt;
  if (b == 40)
    return 0xFFFFFFFFu;
  return (2u | (b & 1u)) << (b / 2 + 11);
}

const char* lzmaStatusText(LzmaStatus s) {
  switch (s) {
  case LzmaStatus::Ok:
    return "ok";
  case LzmaStatus::StreamEnd:
    return "end of stream";
  case LzmaStatus::LimitReached:
    return "output limit reached";
  case LzmaStatus::WriteRefused:
    return "output refused";
  case LzmaStatus::BadProperties:
    return "bad LZMA properties";
  case LzmaStatus::DictionaryTooLarge:
    return "LZMA dictionary too large";
  case LzmaStatus::NoMemory:
    return "out of memory for the LZMA dictionary";
  case LzmaStatus::NotStarted:
    return "LZMA decoder not started";
  case LzmaStatus::BadRangeStart:
    return "damaged LZMA data (range coder start)";
  case LzmaStatus::DistanceTooFar:
    return "damaged LZMA data (distance too far back)";
  case LzmaStatus::MatchPastEnd:
    return "damaged LZMA data (match past the end)";
  case LzmaStatus::EarlyEndMarker:
    return "damaged LZMA data (early end marker)";
  case LzmaStatus::BadFinish:
    return "damaged LZMA data (bad end)";
  case LzmaStatus::BadChunk:
    return "damaged LZMA2 data (bad chunk)";
  case LzmaStatus::ChunkSizeMismatch:
    return "damaged LZMA2 data (chunk size)";
  case LzmaStatus::Truncated:
    return "LZMA data cut short";
  }
  return "LZMA error";
}

} // namespace kyv::codec
