#include "chm/lzx.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/endian.h"

namespace kyv::chm {

namespace {

constexpr unsigned kMinMatch = 2;
constexpr unsigned kNumChars = 256;
constexpr unsigned kNumPrimaryLengths = 7;
constexpr unsigned kNumSecondaryLengths = 249;
constexpr unsigned kMaxCodeLength = 16;
constexpr std::size_t kFrameSize = 32768;
// E8 translation covers the first 32 768 frames (1 GB) of a stream and never the last ten bytes
// of a frame, where a call's four-byte operand could not be whole.
constexpr std::uint64_t kE8Frames = 32768;
constexpr std::size_t kE8Tail = 10;

enum BlockType : int { kBlockNone = 0, kBlockVerbatim = 1, kBlockAligned = 2, kBlockUncompressed = 3 };

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

constexpr std::uint16_t kNoCode = 0xFFFF;
constexpr std::uint16_t kNodeFlag = 0x8000;

} // namespace

// ---------------------------------------------------------------------------------------------
// Bit input.
//
// The stream is a sequence of 16-bit little-endian words, each read from its most significant bit.
// buf holds `left` not yet consumed bits at its top; whole words are added below them while no
// more than 48 are held, so every peek of up to 16 bits after refill() sees real or padding bits.
// Past the end of the input the words read as zero (as if the input were followed by zero
// padding) and nothing is read from memory; consumedBits() tells the caller whether a decode used
// any of those invented bits, which makes it an error.
struct LzxDecoderState::BitReader {
  const std::byte* data;
  std::size_t size;
  std::size_t pos = 0; // next byte to load into buf (may pass size)
  std::uint64_t buf = 0;
  unsigned left = 0;

  BitReader(const std::byte* d, std::size_t n) : data(d), size(n) {}

  void refill() {
    while (left <= 48) {
      unsigned word;
      if (pos < size && size - pos >= 2) {
        word = loadLe16(data + pos);
      } else {
        word = pos < size ? std::to_integer<unsigned>(data[pos]) : 0u;
      }
      pos += 2;
      buf |= static_cast<std::uint64_t>(word) << (48 - left);
      left += 16;
    }
  }
  std::uint32_t peek(unsigned n) const { return static_cast<std::uint32_t>(buf >> (64 - n)); }
  void drop(unsigned n) {
    buf <<= n;
    left -= n;
  }
  // n from 1 to 32; the caller has refilled so that n bits are held.
  std::uint32_t read(unsigned n) {
    const std::uint32_t v = peek(n);
    drop(n);
    return v;
  }
  std::uint32_t readSafe(unsigned n) {
    if (n == 0)
      return 0;
    refill();
    return read(n);
  }
  std::uint64_t consumedBits() const { return static_cast<std::uint64_t>(pos) * 8 - left; }
  bool overrun() const { return consumedBits() > static_cast<std::uint64_t>(size) * 8; }

  // Drops the rest of a partly read word.
  void alignWord() { drop(left % 16); }
  // Leaves the bitstream for the byte stream of an uncompressed block: the block header is
  // followed by 1 to 16 padding bits, so a header that ends on a word boundary has a whole
  // padding word after it.
  void enterBytes() {
    refill();
    drop(left % 16 != 0 ? left % 16 : 16);
    pos -= left / 8;
    buf = 0;
    left = 0;
  }
  std::size_t bytesLeft() const { return pos < size ? size - pos : 0; }

  template <class H> int decode(const H& h) {
    std::uint16_t e = h.table[peek(H::kLookupBits)];
    if ((e & kNodeFlag) == 0) {
      drop((e >> 10) & 31u);
      return e & 0x3FF;
    }
    if (e == kNoCode)
      return -1;
    drop(H::kLookupBits);
    // Codes are at most 16 bits long and at least 16 bits are held, so the walk ends in a leaf or
    // a dead end before the bits run out.
    for (;;) {
      e = h.table[(e & 0x7FFFu) + peek(1)];
      drop(1);
      if ((e & kNodeFlag) == 0)
        return e & 0x3FF;
      if (e == kNoCode)
        return -1;
    }
  }
};

// ---------------------------------------------------------------------------------------------
// Huffman tables.

template <unsigned Symbols, unsigned LookupBits> bool LzxHuffman<Symbols, LookupBits>::build() {
  std::array<unsigned, kMaxCodeLength + 1> count{};
  for (unsigned s = 0; s < Symbols; ++s) {
    if (lengths[s] > kMaxCodeLength)
      return false;
    ++count[lengths[s]];
  }
  std::fill(table.begin(), table.end(), kNoCode);
  if (count[0] == Symbols)
    return true; // an unused tree: any attempt to decode through it fails

  // Kraft sum: over-subscribed codes cannot be decoded, part-empty ones are refused as well (the
  // format has no use for them; only an all-zero set, above, is let through).
  std::int64_t room = 1;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    room = room * 2 - count[len];
    if (room < 0)
      return false;
  }
  if (room != 0)
    return false;

  std::array<std::uint32_t, kMaxCodeLength + 2> next{};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    next[len] = code;
    code = (code + count[len]) << 1;
  }

  unsigned freeNode = 1u << LookupBits;
  for (unsigned s = 0; s < Symbols; ++s) {
    const unsigned len = lengths[s];
    if (len == 0)
      continue;
    const std::uint32_t c = next[len]++;
    if (len <= LookupBits) {
      const unsigned first = c << (LookupBits - len);
      const unsigned span = 1u << (LookupBits - len);
      const auto leaf = static_cast<std::uint16_t>(s | (len << 10));
      std::fill_n(table.begin() + first, span, leaf);
      continue;
    }
    // Longer codes: the direct entry of their first LookupBits bits leads into a binary tree,
    // one node per further bit.
    std::uint16_t* slot = &table[c >> (len - LookupBits)];
    for (int bit = static_cast<int>(len - LookupBits) - 1; bit >= 0; --bit) {
      if (*slot == kNoCode) {
        if (freeNode + 2 > kTableSize)
          return false;
        *slot = static_cast<std::uint16_t>(kNodeFlag | freeNode);
        table[freeNode] = table[freeNode + 1] = kNoCode;
        freeNode += 2;
      } else if ((*slot & kNodeFlag) == 0) {
        return false; // a shorter code already ends here: cannot happen for a complete code
      }
      slot = &table[(*slot & 0x7FFFu) + ((c >> bit) & 1u)];
    }
    *slot = static_cast<std::uint16_t>(s);
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Decoder.

LzxDecoderState::LzxDecoderState() = default;
LzxDecoderState::~LzxDecoderState() = default;

void LzxDecoderState::resetTrees() {
  mainTree_.lengths.fill(0);
  lengthTree_.lengths.fill(0);
}

LzxResult LzxDecoderState::prepare(int windowBits) {
  prepared_ = false;
  if (windowBits < 15 || windowBits > 21)
    return LzxBadFormat;
  const std::size_t size = std::size_t{1} << windowBits;
  if (allocated_ < size) {
    window_.reset();
    allocated_ = 0;
    window_.reset(new (std::nothrow) std::byte[size]);
    if (!window_)
      return LzxNoMemory;
    allocated_ = size;
  }
  // A reused window is cleared as well: a stream whose first matches reach back before its start
  // then reads zeros, never the bytes of an earlier, unrelated stream.
  std::memset(window_.get(), 0, size);
  windowSize_ = size;
  positionSlots_ = windowBits == 20 ? 42u : windowBits == 21 ? 50u : 2u * windowBits;
  mainElements_ = kNumChars + 8 * positionSlots_;
  r0_ = r1_ = r2_ = 1;
  headerRead_ = false;
  calls_ = 0;
  blockRemaining_ = 0;
  blockLength_ = 0;
  blockType_ = kBlockNone;
  e8Size_ = 0;
  e8Position_ = 0;
  e8Started_ = false;
  windowPos_ = 0;
  decodedTotal_ = 0;
  resetTrees();
  prepared_ = true;
  return LzxOk;
}

LzxResult LzxDecoderState::readCodeLengths(BitReader& in, std::uint8_t* lengths, unsigned first,
                                           unsigned last) {
  for (unsigned i = 0; i < preTree_.kSymbols; ++i)
    preTree_.lengths[i] = static_cast<std::uint8_t>(in.readSafe(4));
  if (!preTree_.build())
    return LzxBadData;
  // A run may end past `last`; the spare entries after each length array take it.
  unsigned x = first;
  while (x < last) {
    in.refill();
    const int z = in.decode(preTree_);
    if (z < 0)
      return LzxBadData;
    if (z == 17 || z == 18) {
      unsigned n = z == 17 ? 4 + in.read(4) : 20 + in.read(5);
      while (n-- > 0)
        lengths[x++] = 0;
    } else if (z == 19) {
      unsigned n = 4 + in.read(1);
      in.refill();
      const int s = in.decode(preTree_);
      if (s < 0)
        return LzxBadData;
      const auto v = static_cast<std::uint8_t>((lengths[x] + 34 - s) % 17);
      while (n-- > 0)
        lengths[x++] = v;
    } else {
      lengths[x] = static_cast<std::uint8_t>((lengths[x] + 17 - z) % 17);
      ++x;
    }
  }
  return LzxOk;
}

LzxResult LzxDecoderState::readTrees(BitReader& in) {
  if (readCodeLengths(in, mainTree_.lengths.data(), 0, kNumChars) != LzxOk ||
      readCodeLengths(in, mainTree_.lengths.data(), kNumChars, mainElements_) != LzxOk)
    return LzxBadData;
  if (!mainTree_.build())
    return LzxBadData;
  if (mainTree_.lengths[0xE8] != 0)
    e8Started_ = true;
  if (readCodeLengths(in, lengthTree_.lengths.data(), 0, kNumSecondaryLengths) != LzxOk)
    return LzxBadData;
  if (!lengthTree_.build())
    return LzxBadData;
  return LzxOk;
}

LzxResult LzxDecoderState::startBlock(BitReader& in) {
  if (blockType_ == kBlockUncompressed && (blockLength_ & 1u) != 0)
    in.pos += 1; // the pad byte after an odd-length uncompressed block

  if (windowPos_ == windowSize_) {
    // Reset point: the window has just been filled.
    headerRead_ = false;
    resetTrees();
    r0_ = r1_ = r2_ = 1;
  }
  if (!headerRead_) {
    e8Size_ = 0;
    if (in.readSafe(1) != 0) {
      const std::uint32_t high = in.readSafe(16);
      const std::uint32_t low = in.readSafe(16);
      e8Size_ = (high << 16) | low;
    }
    headerRead_ = true;
  }
  blockType_ = static_cast<int>(in.readSafe(3));
  const std::uint32_t high = in.readSafe(16);
  const std::uint32_t low = in.readSafe(8);
  blockLength_ = (high << 8) | low;
  blockRemaining_ = blockLength_;

  switch (blockType_) {
  case kBlockAligned:
    for (unsigned i = 0; i < alignedTree_.kSymbols; ++i)
      alignedTree_.lengths[i] = static_cast<std::uint8_t>(in.readSafe(3));
    if (!alignedTree_.build())
      return LzxBadData;
    return readTrees(in);
  case kBlockVerbatim:
    return readTrees(in);
  case kBlockUncompressed: {
    e8Started_ = true;
    in.enterBytes();
    if (in.bytesLeft() < 12)
      return LzxBadData;
    r0_ = loadLe32(in.data + in.pos);
    r1_ = loadLe32(in.data + in.pos + 4);
    r2_ = loadLe32(in.data + in.pos + 8);
    in.pos += 12;
    return LzxOk;
  }
  default:
    return LzxBadData;
  }
}

LzxResult LzxDecoderState::copyUncompressed(BitReader& in, std::size_t run) {
  if (in.bytesLeft() < run)
    return LzxBadData;
  std::memcpy(window_.get() + windowPos_, in.data + in.pos, run);
  in.pos += run;
  windowPos_ += run;
  return LzxOk;
}

// Decodes literals and matches of a verbatim or aligned block until the window position reaches
// runEnd (never past it: a match that would cross it is cut there). The bitstream is realigned
// whenever the position lands on a 32 KB frame boundary.
LzxResult LzxDecoderState::decodeRun(BitReader& reader, std::size_t runEnd) {
  // A local copy of the reader stays in registers: the window stores below could otherwise
  // alias it and force every bit-buffer update through memory.
  BitReader in = reader;
  std::byte* const win = window_.get();
  const std::size_t mask = windowSize_ - 1;
  const bool aligned = blockType_ == kBlockAligned;
  std::size_t wp = windowPos_;
  std::uint32_t r0 = r0_, r1 = r1_, r2 = r2_;
  LzxResult result = LzxOk;

  while (wp < runEnd) {
    const std::size_t segEnd = std::min(runEnd, (wp | (kFrameSize - 1)) + 1);
    while (wp < segEnd) {
      in.refill();
      const int sym = in.decode(mainTree_);
      if (sym < 0) {
        result = LzxBadData;
        goto done;
      }
      if (sym < static_cast<int>(kNumChars)) {
        win[wp++] = static_cast<std::byte>(sym);
        continue;
      }
      const unsigned header = static_cast<unsigned>(sym) - kNumChars;
      const unsigned slot = header >> 3;
      std::size_t length = (header & 7u) + kMinMatch;
      if ((header & 7u) == kNumPrimaryLengths) {
        in.refill();
        const int extraLength = in.decode(lengthTree_);
        if (extraLength < 0) {
          result = LzxBadData;
          goto done;
        }
        length += static_cast<unsigned>(extraLength);
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
        const unsigned extra = kSlots.extra[slot];
        offset = kSlots.base[slot] - 2;
        in.refill();
        if (aligned && extra >= 3) {
          if (extra > 3)
            offset += in.read(extra - 3) << 3;
          in.refill();
          const int low = in.decode(alignedTree_);
          if (low < 0) {
            result = LzxBadData;
            goto done;
          }
          offset += static_cast<unsigned>(low);
        } else if (extra > 0) {
          offset += in.read(extra);
        }
        r2 = r1;
        r1 = r0;
        r0 = offset;
      }
      if (offset > windowSize_) {
        result = LzxBadData; // reaches further back than the window holds
        goto done;
      }
      length = std::min(length, runEnd - wp);
      const std::size_t src = (wp - offset) & mask;
      if (src < wp && offset >= 8) {
        // Eight bytes at a time: with the source at least eight bytes behind, each step reads
        // only bytes already in place, so overlapping matches repeat correctly.
        std::byte* d = win + wp;
        const std::byte* from = win + src;
        std::size_t n = length;
        for (; n >= 8; n -= 8, d += 8, from += 8)
          std::memcpy(d, from, 8);
        for (; n > 0; --n)
          *d++ = *from++;
      } else {
        // Overlapping copies repeat the bytes just written; sources past the window start come
        // from its end.
        for (std::size_t i = 0; i < length; ++i)
          win[wp + i] = win[(src + i) & mask];
      }
      wp += length;
    }
    if (in.overrun()) {
      result = LzxBadData;
      goto done;
    }
    if ((wp & (kFrameSize - 1)) == 0 && wp != 0)
      in.alignWord();
  }
done:
  reader = in;
  windowPos_ = wp;
  r0_ = r0;
  r1_ = r1;
  r2_ = r2;
  return result;
}

LzxResult LzxDecoderState::expand(std::span<const std::byte> input, std::span<std::byte> output) {
  if (!prepared_)
    return LzxBadFormat;
  BitReader in(input.data(), input.size());
  std::size_t done = 0;
  while (done < output.size()) {
    if (blockRemaining_ == 0) {
      if (const LzxResult r = startBlock(in); r != LzxOk)
        return r;
    }
    if (in.overrun())
      return LzxBadData;

    const std::size_t run = std::min<std::size_t>(blockRemaining_, output.size() - done);
    const std::size_t start = windowPos_ & (windowSize_ - 1);
    if (start + run > windowSize_)
      return LzxBadFormat;
    windowPos_ = start;
    const LzxResult r = blockType_ == kBlockUncompressed ? copyUncompressed(in, run)
                                                         : decodeRun(in, start + run);
    if (r != LzxOk)
      return r;
    blockRemaining_ -= static_cast<std::uint32_t>(run);
    std::memcpy(output.data() + done, window_.get() + start, run);
    done += run;
    decodedTotal_ += run;
  }
  translateE8(output);
  return LzxOk;
}

// Undoes the E8 call translation frame by frame (32 KB frames counted from the start of the
// stream), as the format applies it, for the frames this call produced.
void LzxDecoderState::translateE8(std::span<std::byte> output) {
  const bool active = calls_ < kE8Frames && e8Size_ != 0 && e8Started_;
  ++calls_;
  const std::uint64_t base = e8Position_;
  e8Position_ += output.size();
  if (!active)
    return;
  const auto fileSize = static_cast<std::int64_t>(e8Size_);
  std::size_t i = 0;
  while (i < output.size()) {
    const std::uint64_t abs = base + i;
    const std::size_t frameEnd =
        std::min<std::size_t>(output.size(), i + (kFrameSize - abs % kFrameSize));
    if (abs / kFrameSize >= kE8Frames)
      break;
    if (frameEnd - i > kE8Tail) {
      std::byte* const p = output.data();
      const std::size_t limit = frameEnd - kE8Tail;
      std::size_t k = i;
      while (k < limit) {
        const void* hit = std::memchr(p + k, 0xE8, limit - k);
        if (hit == nullptr)
          break;
        k = static_cast<std::size_t>(static_cast<const std::byte*>(hit) - p);
        const auto current = static_cast<std::int64_t>(base + k);
        const auto target = static_cast<std::int32_t>(loadLe32(p + k + 1));
        if (target >= -current && target < fileSize) {
          const std::int64_t value = target >= 0 ? target - current : target + fileSize;
          storeLe32(p + k + 1, static_cast<std::uint32_t>(value));
        }
        k += 5;
      }
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

} // namespace kyv::chm
