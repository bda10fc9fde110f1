#include "codec/lzx.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/branch_filters.h"
#include "codec/lz_copy.h"

namespace kyv::codec {

namespace {

constexpr unsigned kMinMatch = 2;
constexpr unsigned kNumChars = 256;
constexpr unsigned kNumPrimaryLengths = 7;
constexpr unsigned kNumSecondaryLengths = 249;
// E8 translation covers the first 32 768 frames (1 GB) of a stream and never the last ten bytes
// of a frame, where a call's four-byte operand could not be whole.
constexpr std::uint64_t kE8Frames = 32768;
constexpr std::size_t kE8Tail = 10;

// Position slots: slots 0-3 carry no extra bits, then two slots per extra-bit count up to 17,
// which the remaining slots keep; a slot's base follows from the ones before it.
constexpr unsigned kPositionSlotCount = 51;
struct PositionSlots {
  std::array<std::uint8_t, kPositionSlotCount> extra{};
  std::array<std::uint32_t, kPositionSlotCount> base{};
};
constexpr PositionSlots makePositionSlots() {
  PositionSlots t{};
  std::uint32_t base = 0;
  for (unsigned i = 0; i < kPositionSlotCount; ++i) {
    const unsigned extra = i < 4 ? 0 : std::min(i / 2 - 1, 17u);
    t.extra[i] = static_cast<std::uint8_t>(extra);
    t.base[i] = base;
    base += 1u << extra;
  }
  return t;
}
constexpr PositionSlots kSlots = makePositionSlots();
static_assert(kSlots.extra[4] == 1 && kSlots.extra[36] == 17 && kSlots.extra[50] == 17);
static_assert(kSlots.base[4] == 4 && kSlots.base[36] == 262144 && kSlots.base[50] == 2097152);

// Main tree entries: literals carry flag A, so the decode loop tells them from matches with one
// test of the entry it already holds.
constexpr auto kMainEntries = [] {
  std::array<std::uint32_t, 656> e{};
  for (std::uint32_t s = 0; s < e.size(); ++s)
    e[s] = (s << 16) | (s < kNumChars ? kHuffFlagA : 0);
  return e;
}();

// LZX encoders write complete codes only; an all-zero set (an unused tree) gives an empty table
// that fails any decode through it.
bool buildTable(std::span<const std::uint8_t> lengths, std::span<const std::uint32_t> entries,
                unsigned rootBits, unsigned maxLen, std::span<std::uint32_t> table) {
  return buildHuffmanTable(lengths, entries, rootBits, maxLen, table, BitOrder::MsbFirst,
                           Incomplete::Refused) == HuffBuild::Ok;
}

// One symbol through a table; -1 for a code word no symbol has. The input holds at least 16 bits.
int decodeSymbol(LzxInput& in, const std::uint32_t* table, unsigned rootBits) {
  const std::uint32_t e = decodeMsbFirst(in, table, rootBits);
  return (e & kHuffInvalid) != 0 ? -1 : static_cast<int>(huffPayload(e));
}

// Copies n bytes of an uncompressed block from the input; false when the input ends first.
bool readBytes(LzxInput& in, std::uint8_t* out, std::size_t n) {
  if (in.overread != 0)
    return false;
  while (n > 0) {
    if (in.available() == 0) {
      if (in.atEnd())
        return false;
      in.fillBuffer();
      continue;
    }
    const std::size_t k = std::min(n, in.available());
    std::memcpy(out, in.next, k);
    in.next += k;
    out += k;
    n -= k;
  }
  return true;
}

std::uint32_t le32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

} // namespace

LzxDecoderState::LzxDecoderState() = default;
LzxDecoderState::~LzxDecoderState() = default;

void LzxDecoderState::resetTrees() {
  mainLengths_.fill(0);
  lengthLengths_.fill(0);
}

LzxResult LzxDecoderState::prepare(int windowBits, std::uint64_t streamLength) {
  prepared_ = false;
  if (windowBits < 15 || windowBits > 21)
    return LzxResult::BadFormat;
  const std::size_t size = std::size_t{1} << windowBits;
  if (allocated_ < size) {
    window_.reset();
    allocated_ = 0;
    window_.reset(new (std::nothrow) std::uint8_t[size]);
    if (!window_)
      return LzxResult::NoMemory;
    allocated_ = size;
  }
  // A reused window is cleared as well: a stream whose first matches reach back before its start
  // then reads zeros, never the bytes of an earlier, unrelated stream.
  std::memset(window_.get(), 0, size);
  windowSize_ = size;
  positionSlots_ = windowBits == 20   ? 42u
                   : windowBits == 21 ? 50u
                                      : 2u * static_cast<unsigned>(windowBits);
  mainElements_ = kNumChars + 8 * positionSlots_;
  streamLength_ = streamLength;
  decodedTotal_ = 0;
  r0_ = r1_ = r2_ = 1;
  headerRead_ = false;
  calls_ = 0;
  blockRemaining_ = 0;
  blockLength_ = 0;
  blockType_ = BlockType::None;
  e8Size_ = 0;
  e8Position_ = 0;
  e8Started_ = false;
  windowPos_ = 0;
  resetTrees();
  prepared_ = true;
  return LzxResult::Ok;
}

LzxResult LzxDecoderState::readCodeLengths(LzxInput& in, std::uint8_t* lengths, unsigned first,
                                           unsigned last) {
  for (auto& l : preLengths_)
    l = static_cast<std::uint8_t>(in.get(4));
  if (!buildTable(preLengths_, plainSymbolEntries(kPreSymbols), kPreRootBits, kPreMaxLength,
                  preTable_))
    return LzxResult::BadData;
  // A run may end past `last`; the spare entries after each length array take it.
  unsigned x = first;
  while (x < last) {
    in.refill();
    const int z = decodeSymbol(in, preTable_.data(), kPreRootBits);
    if (z < 0)
      return LzxResult::BadData;
    if (z == 17 || z == 18) {
      unsigned n = z == 17 ? 4 + in.get(4) : 20 + in.get(5);
      while (n-- > 0)
        lengths[x++] = 0;
    } else if (z == 19) {
      unsigned n = 4 + in.get(1);
      in.refill();
      const int s = decodeSymbol(in, preTable_.data(), kPreRootBits);
      if (s < 0)
        return LzxResult::BadData;
      const auto v = static_cast<std::uint8_t>((lengths[x] + 34 - s) % 17);
      while (n-- > 0)
        lengths[x++] = v;
    } else {
      lengths[x] = static_cast<std::uint8_t>((lengths[x] + 17 - z) % 17);
      ++x;
    }
  }
  return LzxResult::Ok;
}

LzxResult LzxDecoderState::readTrees(LzxInput& in) {
  if (readCodeLengths(in, mainLengths_.data(), 0, kNumChars) != LzxResult::Ok ||
      readCodeLengths(in, mainLengths_.data(), kNumChars, mainElements_) != LzxResult::Ok)
    return LzxResult::BadData;
  // Lengths a run wrote past the main elements count as well (up to the 656 symbols of the
  // largest window): a symbol there decodes to an offset the window refuses.
  if (!buildTable(std::span(mainLengths_).first(kMainSymbols), kMainEntries, kMainRootBits,
                  kMaxLength, mainTable_))
    return LzxResult::BadData;
  if (mainLengths_[0xE8] != 0)
    e8Started_ = true;
  if (readCodeLengths(in, lengthLengths_.data(), 0, kNumSecondaryLengths) != LzxResult::Ok)
    return LzxResult::BadData;
  if (!buildTable(std::span(lengthLengths_).first(kLengthSymbols),
                  plainSymbolEntries(kLengthSymbols), kLengthRootBits, kMaxLength, lengthTable_))
    return LzxResult::BadData;
  return LzxResult::Ok;
}

LzxResult LzxDecoderState::startBlock(LzxInput& in) {
  if (blockType_ == BlockType::Uncompressed && (blockLength_ & 1u) != 0)
    (void)in.byteOrPad(); // the pad byte after an odd-length uncompressed block

  if (windowPos_ == windowSize_) {
    // Reset point: the window has just been filled.
    headerRead_ = false;
    resetTrees();
    r0_ = r1_ = r2_ = 1;
  }
  if (!headerRead_) {
    e8Size_ = 0;
    if (in.get(1) != 0) {
      const std::uint32_t high = in.get(16);
      const std::uint32_t low = in.get(16);
      e8Size_ = (high << 16) | low;
    }
    headerRead_ = true;
  }
  blockType_ = static_cast<BlockType>(in.get(3));
  const std::uint32_t high = in.get(16);
  const std::uint32_t low = in.get(8);
  blockLength_ = (high << 8) | low;
  blockRemaining_ = blockLength_;

  switch (blockType_) {
  case BlockType::Aligned:
    for (auto& l : alignedLengths_)
      l = static_cast<std::uint8_t>(in.get(3));
    if (!buildTable(alignedLengths_, plainSymbolEntries(kAlignedSymbols), kAlignedRootBits,
                    kAlignedMaxLength, alignedTable_))
      return LzxResult::BadData;
    return readTrees(in);
  case BlockType::Verbatim:
    return readTrees(in);
  case BlockType::Uncompressed: {
    e8Started_ = true;
    // The block header is followed by 1 to 16 padding bits up to a word boundary, so a header
    // that ends on a boundary has a whole padding word after it.
    in.refill();
    in.drop(in.count % 16 != 0 ? in.count % 16 : 16);
    in.enterBytes();
    std::uint8_t r[12];
    if (!readBytes(in, r, sizeof r))
      return LzxResult::BadData;
    r0_ = le32(r);
    r1_ = le32(r + 4);
    r2_ = le32(r + 8);
    return LzxResult::Ok;
  }
  default:
    return LzxResult::BadData;
  }
}

LzxResult LzxDecoderState::copyUncompressed(LzxInput& in, std::size_t run) {
  if (!readBytes(in, window_.get() + windowPos_, run))
    return LzxResult::BadData;
  windowPos_ += run;
  return LzxResult::Ok;
}

// Decodes literals and matches of a verbatim or aligned block until the window position reaches
// runEnd (never past it: a match that would cross it is cut there). The bitstream is realigned
// whenever the position lands on a 32 KB frame boundary.
LzxResult LzxDecoderState::decodeRun(LzxInput& in, std::size_t runEnd) {
  std::size_t wp = windowPos_;
  LzxResult result = LzxResult::Ok;
  while (wp < runEnd && result == LzxResult::Ok) {
    const std::size_t segEnd = std::min(runEnd, (wp | (kFrameSize - 1)) + 1);
    while (wp < segEnd && result == LzxResult::Ok) {
      if (in.available() < InputBuffer::kFastMargin && !in.atEnd())
        in.fillBuffer();
      else if (in.available() >= InputBuffer::kFastMargin)
        result = decodeSymbols<false>(in, wp, segEnd, runEnd);
      else
        result = decodeSymbols<true>(in, wp, segEnd, runEnd);
    }
    if (result == LzxResult::Ok && in.overrun())
      result = LzxResult::BadData;
    if (result == LzxResult::Ok && (wp & (kFrameSize - 1)) == 0 && wp != 0)
      in.align(16);
  }
  windowPos_ = wp;
  return result;
}

// The symbol loop, on copies of the bit input's state kept in registers (the window stores
// could alias the input object). The fast form refills whole words without looking and returns
// when fewer than kFastMargin input bytes are left; the careful form runs on the last bytes of
// the input, pads with counted zeros and stops at the first symbol that used any.
template <bool kCareful>
LzxResult LzxDecoderState::decodeSymbols(LzxInput& in, std::size_t& wpRef, std::size_t segEnd,
                                         std::size_t runEnd) {
  const std::uint8_t* next = in.next;
  const std::uint8_t* const end = in.end;
  std::uint64_t bits = in.bits;
  unsigned count = in.count;
  unsigned overread = in.overread;
  std::uint8_t* const win = window_.get();
  const std::size_t mask = windowSize_ - 1;
  const bool aligned = blockType_ == BlockType::Aligned;
  const std::uint32_t* const mainTable = mainTable_.data();
  const std::uint32_t* const lengthTable = lengthTable_.data();
  const std::uint32_t* const alignedTable = alignedTable_.data();
  std::size_t wp = wpRef;
  std::uint32_t r0 = r0_, r1 = r1_, r2 = r2_;
  LzxResult result = LzxResult::Ok;

  // At least 48 bits held afterwards (LzxInput::kRefillBits).
  const auto refill = [&] {
    if (kCareful && end - next < 8) {
      while (count < LzxInput::kRefillBits) {
        std::uint64_t word = 0;
        for (unsigned half = 0; half < 2; ++half) {
          if (next != end)
            word |= std::uint64_t{*next++} << (8 * half);
          else
            ++overread;
        }
        bits |= word << (LzxInput::kRefillBits - count);
        count += 16;
      }
      return;
    }
    std::uint64_t v = __builtin_bswap64(loadWord(next));
    v = ((v & 0xFF00FF00FF00FF00ull) >> 8) | ((v & 0x00FF00FF00FF00FFull) << 8);
    bits |= v >> count;
    const unsigned words = (63 - count) / 16;
    next += 2 * words;
    count += 16 * words;
  };
  const auto peek = [&](unsigned n) { return static_cast<std::uint32_t>(bits >> (64 - n)); };
  const auto drop = [&](unsigned n) {
    bits <<= n;
    count -= n;
  };
  // At most 16 bits; the entry's payload is the symbol, kHuffInvalid a code word without one.
  const auto decode = [&](const std::uint32_t* table, unsigned rootBits) {
    std::uint32_t e = table[peek(rootBits)];
    if (e & kHuffSubtable) {
      drop(rootBits);
      e = table[huffPayload(e) + peek(huffCodeLength(e))];
    }
    drop(huffCodeLength(e));
    return e;
  };

  while (wp < segEnd) {
    if constexpr (!kCareful) {
      if (static_cast<std::size_t>(end - next) < InputBuffer::kFastMargin)
        break;
    } else {
      if (overread * 8 > count) {
        result = LzxResult::BadData;
        break;
      }
    }
    refill();
    std::uint32_t e = decode(mainTable, kMainRootBits);
    if (e & kHuffFlagA) {
      // Literals come in runs: the refill left bits for a second main symbol (16 of 48), and
      // for a match after it, whose main and length codes take 32 at most.
      win[wp++] = static_cast<std::uint8_t>(huffPayload(e));
      if (wp >= segEnd)
        break;
      e = decode(mainTable, kMainRootBits);
      if (e & kHuffFlagA) {
        win[wp++] = static_cast<std::uint8_t>(huffPayload(e));
        continue;
      }
    }
    if (e & kHuffInvalid) {
      result = LzxResult::BadData;
      break;
    }
    // Up to 48 bits so far (a literal, main and length codes) of the 48 the refill gave.
    const unsigned header = huffPayload(e) - kNumChars;
    const unsigned slot = header >> 3;
    std::size_t length = (header & 7u) + kMinMatch;
    if ((header & 7u) == kNumPrimaryLengths) {
      const std::uint32_t l = decode(lengthTable, kLengthRootBits);
      if (l & kHuffInvalid) {
        result = LzxResult::BadData;
        break;
      }
      length += huffPayload(l);
    }
    std::uint32_t offset;
    if (slot == 0) {
      offset = r0;
    } else if (slot == 1) {
      offset = r1;
      r1 = r0;
      r0 = offset;
    } else if (slot == 2) {
      offset = r2;
      r2 = r0;
      r0 = offset;
    } else {
      // Up to 17 extra bits, or 14 verbatim and 7 aligned ones: a second refill covers them.
      const unsigned extra = kSlots.extra[slot];
      offset = kSlots.base[slot] - 2;
      refill();
      if (aligned && extra >= 3) {
        if (extra > 3) {
          offset += peek(extra - 3) << 3;
          drop(extra - 3);
        }
        const std::uint32_t a = decode(alignedTable, kAlignedRootBits);
        if (a & kHuffInvalid) {
          result = LzxResult::BadData;
          break;
        }
        offset += huffPayload(a);
      } else if (extra > 0) {
        offset += peek(extra);
        drop(extra);
      }
      r2 = r1;
      r1 = r0;
      r0 = offset;
    }
    if (offset > windowSize_) {
      result = LzxResult::BadData; // reaches further back than the window holds
      break;
    }
    length = std::min(length, runEnd - wp);
    copyMatchRing(win, mask, wp, offset, length);
    wp += length;
  }
  if (kCareful && result == LzxResult::Ok && overread * 8 > count)
    result = LzxResult::BadData;

  in.next = next;
  in.bits = bits;
  in.count = count;
  in.overread = overread;
  wpRef = wp;
  r0_ = r0;
  r1_ = r1;
  r2_ = r2;
  return result;
}

LzxResult LzxDecoderState::expand(LzxInput& in, std::span<std::byte> output,
                                  std::size_t* produced) {
  if (produced != nullptr)
    *produced = 0;
  if (!prepared_)
    return LzxResult::BadFormat;
  auto* const out = reinterpret_cast<std::uint8_t*>(output.data());
  std::size_t done = 0;
  LzxResult result = LzxResult::Ok;
  while (done < output.size()) {
    if (blockRemaining_ == 0) {
      if ((result = startBlock(in)) != LzxResult::Ok)
        break;
    }
    if (in.overrun()) {
      result = LzxResult::BadData;
      break;
    }
    const std::size_t run = std::min<std::size_t>(blockRemaining_, output.size() - done);
    const std::size_t start = windowPos_ & (windowSize_ - 1);
    // What one call for the whole stream would take as this run, for the window-end check.
    const std::uint64_t streamLeft = streamLength_ == UINT64_MAX
                                         ? output.size() - done
                                         : streamLength_ - std::min(streamLength_, decodedTotal_);
    if (start + std::min<std::uint64_t>(blockRemaining_, std::max<std::uint64_t>(streamLeft, run)) >
        windowSize_) {
      result = LzxResult::BadFormat;
      break;
    }
    windowPos_ = start;
    result = blockType_ == BlockType::Uncompressed ? copyUncompressed(in, run)
                                                   : decodeRun(in, start + run);
    if (result != LzxResult::Ok)
      break;
    blockRemaining_ -= static_cast<std::uint32_t>(run);
    std::memcpy(out + done, window_.get() + start, run);
    done += run;
    decodedTotal_ += run;
  }
  if (produced != nullptr)
    *produced = done;
  if (result != LzxResult::Ok)
    return result;
  translateE8(std::span(out, output.size()));
  return LzxResult::Ok;
}

LzxResult LzxDecoderState::expand(std::span<const std::byte> input, std::span<std::byte> output) {
  LzxInput in(input);
  return expand(in, output);
}

// Undoes the E8 call translation frame by frame (32 KB frames counted from the start of the
// stream), as the format applies it, for the frames this call produced.
void LzxDecoderState::translateE8(std::span<std::uint8_t> output) {
  const bool active = calls_ < kE8Frames && e8Size_ != 0 && e8Started_;
  ++calls_;
  const std::uint64_t base = e8Position_;
  e8Position_ += output.size();
  if (!active)
    return;
  X86Filter filter;
  filter.size = static_cast<std::int64_t>(e8Size_);
  std::size_t i = 0;
  while (i < output.size()) {
    const std::uint64_t abs = base + i;
    if (abs / kFrameSize >= kE8Frames)
      break;
    const std::size_t frameEnd = std::min<std::size_t>(
        output.size(), i + static_cast<std::size_t>(kFrameSize - abs % kFrameSize));
    if (frameEnd - i > kE8Tail) {
      filter.start = abs;
      x86Decode(output.subspan(i, frameEnd - i), frameEnd - i - kE8Tail, filter);
    }
    i = frameEnd;
  }
}

// ---------------------------------------------------------------------------------------------
// The process-wide decoder.

namespace {
LzxDecoderState& processDecoder() {
  static LzxDecoderState state;
  return state;
}
} // namespace

LzxResult LzxPrepare(int windowBits) { return processDecoder().prepare(windowBits); }

LzxResult LzxExpand(std::span<const std::byte> input, std::span<std::byte> output) {
  return processDecoder().expand(input, output);
}

} // namespace kyv::codec
