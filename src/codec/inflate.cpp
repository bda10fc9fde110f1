#include "codec/inflate.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <utility>

#include "codec/bit_input.h"
#include "codec/huffman_table.h"
#include "codec/lz_copy.h"

namespace kyv::codec {

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using Status = InflateStatus;

// Caller flags in the decode tables (see huffman_table.h).
constexpr u32 kLiteral = kHuffFlagA;     // literal/length table: payload is the byte
constexpr u32 kEndOfBlock = kHuffFlagB;  // payload 0: symbol 256; payload 1: symbols 286 and 287
constexpr u32 kBadDistance = kHuffFlagB; // distance table: symbols 30 and 31 outside Deflate64

constexpr std::size_t kLitSymbols = 288;
constexpr std::size_t kDistSymbols = 32;
constexpr std::size_t kPrecodeSymbols = 19;
constexpr unsigned kLitRootBits = 11;
constexpr unsigned kDistRootBits = 8;
constexpr unsigned kPrecodeBits = 7;
constexpr std::size_t kLitCapacity = huffTableCapacity(kLitSymbols, kLitRootBits, 15);
constexpr std::size_t kDistCapacity = huffTableCapacity(kDistSymbols, kDistRootBits, 15);
constexpr std::size_t kPrecodeCapacity = huffTableCapacity(kPrecodeSymbols, kPrecodeBits, 7);
static_assert(kLitCapacity == 2978 && kDistCapacity == 832 && kPrecodeCapacity == 128);

// RFC 1951, 3.2.5.
constexpr std::array<u32, 29> kLengthBase{3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<u32, 29> kLengthExtra{0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<u32, 30> kDistBase{
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<u32, 30> kDistExtra{0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::array<u8, kPrecodeSymbols> kPrecodeOrder{16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                        11, 4,  12, 3, 13, 2, 14, 1, 15};

// Deflate64 changes symbol 285 to a base of 3 with 16 extra bits and adds distance symbols 30
// and 31 (32769 and 49153, 14 extra bits).
std::array<u32, kLitSymbols> litSymbolEntries(bool deflate64) {
  std::array<u32, kLitSymbols> e{};
  for (u32 s = 0; s < 256; ++s)
    e[s] = (s << 16) | kLiteral;
  e[256] = kEndOfBlock;
  for (u32 s = 257; s < 286; ++s)
    e[s] = (kLengthBase[s - 257] << 16) | kLengthExtra[s - 257];
  if (deflate64)
    e[285] = (3u << 16) | 16;
  e[286] = e[287] = (1u << 16) | kEndOfBlock;
  return e;
}

std::array<u32, kDistSymbols> distSymbolEntries(bool deflate64) {
  std::array<u32, kDistSymbols> e{};
  for (u32 s = 0; s < 30; ++s)
    e[s] = (kDistBase[s] << 16) | kDistExtra[s];
  e[30] = deflate64 ? (32769u << 16) | 14 : kBadDistance;
  e[31] = deflate64 ? (49153u << 16) | 14 : kBadDistance;
  return e;
}

constexpr std::array<u32, kPrecodeSymbols> precodeSymbolEntries() {
  std::array<u32, kPrecodeSymbols> e{};
  for (u32 s = 0; s < kPrecodeSymbols; ++s)
    e[s] = s << 16;
  e[16] |= 2;
  e[17] |= 3;
  e[18] |= 7;
  return e;
}
constexpr auto kPrecodeEntries = precodeSymbolEntries();

struct DecodeTables {
  std::array<u32, kLitCapacity> lit;
  std::array<u32, kDistCapacity> dist;
};

// The fixed-block tables of both variants, built once when the library loads and only read after.
struct FixedTables {
  DecodeTables deflate;
  DecodeTables deflate64;
  FixedTables() {
    std::array<u8, kLitSymbols> lit{};
    std::fill(lit.begin(), lit.begin() + 144, u8{8});
    std::fill(lit.begin() + 144, lit.begin() + 256, u8{9});
    std::fill(lit.begin() + 256, lit.begin() + 280, u8{7});
    std::fill(lit.begin() + 280, lit.end(), u8{8});
    std::array<u8, kDistSymbols> dist{};
    dist.fill(5);
    for (const bool d64 : {false, true}) {
      DecodeTables& t = d64 ? deflate64 : deflate;
      const auto le = litSymbolEntries(d64);
      const auto de = distSymbolEntries(d64);
      // The fixed code lengths are complete codes; these builds cannot fail.
      (void)buildHuffmanTable(lit, le, kLitRootBits, 15, t.lit, BitOrder::LsbFirst);
      (void)buildHuffmanTable(dist, de, kDistRootBits, 15, t.dist, BitOrder::LsbFirst);
    }
  }
};
const FixedTables kFixed;

enum class [[nodiscard]] Step{
    More, // stopped at the window's write point or at the end of the buffered input
    EndOfBlock, NoData, UnusedCode, LengthSymbol, DistanceSymbol, Distance,
};

// The window keeps the history that the longest distance reaches (32 KiB, 64 KiB in Deflate64)
// and collects new output behind it. When the fill reaches the write point, the new output is
// written in 32 KiB slices and the history moves to the front. The window holds 256 KiB of
// new output per move, so moving the history costs an eighth of a copy of the output; past the
// write point there is room for the longest match (258 bytes, Deflate64 65538).
constexpr std::size_t kSlice = 32768;
constexpr std::size_t kNewOutput = 8 * kSlice;
constexpr std::size_t kHistory = 32768;
constexpr std::size_t kHistory64 = 65536;
constexpr std::size_t kMaxMatch = 258;
constexpr std::size_t kMaxMatch64 = 65538;

} // namespace

class Inflater::Impl {
public:
  Impl(ByteSource& in, InflateOptions options)
      : in_(in), options_(std::move(options)), deflate64_(options_.deflate64),
        history_(deflate64_ ? kHistory64 : kHistory), writePoint_(history_ + kNewOutput),
        // Not cleared: only bytes below the fill are ever read as history.
        window_(std::make_unique_for_overwrite<u8[]>(
            writePoint_ + (deflate64_ ? kMaxMatch64 : kMaxMatch) + kCopySlack)) {
    setStop();
  }

  Status run(ByteSink& out) {
    out_ = &out;
    Status s = blocks();
    if (s == Status::LimitReached || s == Status::WriteRefused)
      return s;
    // The last symbols may have run past the limit when the stream ended or failed before the
    // next check of the fill. Damage found once the limit was reached lies past the output asked
    // for, which came whole from sound symbols: that is the limit reached, wherever the decoder
    // happened to look at the fill.
    if (options_.outputLimit != 0 && pending() >= options_.outputLimit) {
      const bool past = pending() > options_.outputLimit;
      if (past)
        cutAtLimit();
      if (past || (s != Status::Ok && s != Status::Stopped))
        s = Status::LimitReached;
    }
    // What was decoded stays in the output.
    const Status f = flushTo(fill_);
    if (f != Status::Ok && (s == Status::Ok || s == Status::LimitReached))
      s = f;
    return s;
  }

  u64 produced() const { return pending(); }
  u64 unusedInput() const { return in_.available() + in_.bufferedBytes(); }

private:
  Status blocks() {
    bool last = false;
    do {
      in_.need(3);
      last = in_.peek(1) != 0;
      if (!in_.drop(1))
        return Status::EndInBlockFlag;
      const u32 type = in_.peek(2);
      if (!in_.drop(2))
        return Status::EndInField;
      Status s = Status::BadBlockType;
      switch (type) {
      case 0:
        s = storedBlock();
        break;
      case 1:
        s = huffmanBlock(deflate64_ ? kFixed.deflate64 : kFixed.deflate);
        break;
      case 2:
        s = readDynamicTables();
        if (s == Status::Ok)
          s = huffmanBlock(*dynamic_);
        break;
      default:
        break;
      }
      if (s != Status::Ok)
        return s;
    } while (!last);
    return Status::Ok;
  }

  // Output decoded so far, written or not.
  u64 pending() const { return produced_ + (fill_ - written_); }
  // Drops the decoded bytes past the output limit. What is written never goes past it.
  void cutAtLimit() {
    fill_ = written_ + static_cast<std::size_t>(options_.outputLimit - produced_);
  }

  // The fill stops at the write point, or earlier where the output limit falls.
  void setStop() {
    stopFill_ = writePoint_;
    if (options_.outputLimit != 0) {
      const u64 room = options_.outputLimit > pending() ? options_.outputLimit - pending() : 0;
      if (room < stopFill_ - fill_)
        stopFill_ = fill_ + static_cast<std::size_t>(room);
    }
  }

  // Writes window bytes [written_, end) in slices of at most 32 KiB.
  Status flushTo(std::size_t end) {
    while (written_ < end) {
      const std::size_t n = std::min(kSlice, end - written_);
      const std::span<const std::byte> bytes(
          reinterpret_cast<const std::byte*>(window_.get() + written_), n);
      if (!out_->write(bytes))
        return Status::WriteRefused;
      produced_ += n;
      written_ += n;
    }
    return Status::Ok;
  }

  // Called when the fill reaches the stop point: at the output limit decoding ends; at the write
  // point everything new is written and the history moves to the front.
  Status windowFull() {
    if (options_.outputLimit != 0 && pending() >= options_.outputLimit) {
      cutAtLimit();
      const Status s = flushTo(fill_);
      return s == Status::Ok ? Status::LimitReached : s;
    }
    if (const Status s = flushTo(fill_); s != Status::Ok)
      return s;
    std::memmove(window_.get(), window_.get() + (fill_ - history_), history_);
    fill_ = history_;
    written_ = history_;
    setStop();
    if (options_.onWindowMove && options_.onWindowMove())
      return Status::Stopped;
    return Status::Ok;
  }

  Status storedBlock() {
    if (!in_.alignToByte())
      return Status::EndInCodes;
    in_.need(32);
    const u32 length = in_.peek(16);
    const u32 inverse = static_cast<u32>(in_.bits >> 16) & 0xFFFF;
    if (!in_.drop(32))
      return Status::EndInField;
    if ((length ^ inverse) != 0xFFFF)
      return Status::BadStoredLength;
    std::size_t left = length;
    // Whole bytes still in the bit buffer come first.
    while (left > 0 && in_.count >= 8) {
      if (in_.bufferedBytes() == 0)
        return Status::EndInStoredData;
      if (fill_ >= stopFill_) {
        if (const Status s = windowFull(); s != Status::Ok)
          return s;
      }
      window_[fill_++] = static_cast<u8>(in_.bits);
      (void)in_.drop(8);
      --left;
    }
    if (left == 0)
      return Status::Ok;
    in_.resetBits();
    while (left > 0) {
      if (fill_ >= stopFill_) {
        if (const Status s = windowFull(); s != Status::Ok)
          return s;
        continue;
      }
      if (in_.available() == 0) {
        if (in_.atEnd())
          return Status::EndInStoredData;
        in_.fillBuffer();
        continue;
      }
      const std::size_t n = std::min({left, in_.available(), stopFill_ - fill_});
      std::memcpy(window_.get() + fill_, in_.next, n);
      in_.next += n;
      fill_ += n;
      left -= n;
    }
    return Status::Ok;
  }

  Status readDynamicTables() {
    in_.need(14);
    const u32 head = in_.peek(14);
    if (!in_.drop(14))
      return Status::EndInField;
    const std::size_t nlit = (head & 0x1F) + 257;
    const std::size_t ndist = ((head >> 5) & 0x1F) + 1;
    const std::size_t nclen = ((head >> 10) & 0x0F) + 4;
    if (nlit > 286)
      return Status::TooManyLengthCodes;
    if (ndist > 30 && !deflate64_)
      return Status::TooManyDistanceCodes;

    std::array<u8, kPrecodeSymbols> precodeLengths{};
    for (std::size_t i = 0; i < nclen; ++i) {
      in_.need(3);
      precodeLengths[kPrecodeOrder[i]] = static_cast<u8>(in_.peek(3));
      if (!in_.drop(3))
        return Status::EndInField;
    }
    std::array<u32, kPrecodeCapacity> precode;
    if (!build(precodeLengths, kPrecodeEntries, kPrecodeBits, 7, precode))
      return Status::OverSubscribed;

    // Literal/length and distance lengths are one sequence; a repeat may cross from one to the
    // other, but not past the end or before the start.
    std::array<u8, 286 + kDistSymbols> lengths{};
    const std::size_t total = nlit + ndist;
    std::size_t i = 0;
    while (i < total) {
      in_.need(kPrecodeBits + 7);
      const u32 e = precode[in_.peek(kPrecodeBits)];
      if (e & kHuffInvalid)
        return Status::BadCodeLength;
      const unsigned n = huffConsume(e);
      const u32 extra = in_.peek(n) >> huffCodeLength(e);
      if (!in_.drop(n))
        return Status::EndInField;
      const u32 symbol = huffPayload(e);
      if (symbol < 16) {
        lengths[i++] = static_cast<u8>(symbol);
        continue;
      }
      u8 value = 0;
      std::size_t repeat = 0;
      if (symbol == 16) {
        if (i == 0)
          return Status::RepeatWithoutPrevious;
        value = lengths[i - 1];
        repeat = 3 + extra;
      } else if (symbol == 17) {
        repeat = 3 + extra;
      } else {
        repeat = 11 + extra;
      }
      if (repeat > total - i)
        return Status::RepeatPastEnd;
      std::fill_n(lengths.begin() + static_cast<std::ptrdiff_t>(i), repeat, value);
      i += repeat;
    }
    if (!dynamic_)
      dynamic_ = std::make_unique_for_overwrite<DecodeTables>();
    const auto& litEntries = deflate64_ ? kLitEntries64 : kLitEntries;
    const auto& distEntries = deflate64_ ? kDistEntries64 : kDistEntries;
    if (!build(std::span(lengths).first(nlit), litEntries, kLitRootBits, 15, dynamic_->lit) ||
        !build(std::span(lengths).subspan(nlit, ndist), distEntries, kDistRootBits, 15,
               dynamic_->dist))
      return Status::OverSubscribed;
    return Status::Ok;
  }

  static bool build(std::span<const u8> lengths, std::span<const u32> entries, unsigned rootBits,
                    unsigned maxLen, std::span<u32> table) {
    return buildHuffmanTable(lengths, entries, rootBits, maxLen, table, BitOrder::LsbFirst) ==
           HuffBuild::Ok;
  }

  Status huffmanBlock(const DecodeTables& tables) {
    for (;;) {
      if (fill_ >= stopFill_) {
        if (const Status s = windowFull(); s != Status::Ok)
          return s;
        continue;
      }
      if (in_.available() < LsbBitInput::kFastMargin && !in_.atEnd()) {
        in_.fillBuffer();
        continue;
      }
      const Step s = in_.available() >= LsbBitInput::kFastMargin ? decode<false>(tables)
                                                                 : decode<true>(tables);
      switch (s) {
      case Step::More:
        break;
      case Step::EndOfBlock:
        return Status::Ok;
      case Step::NoData:
        return Status::EndInCodes;
      case Step::UnusedCode:
        return Status::UnusedCode;
      case Step::LengthSymbol:
        return Status::BadLengthSymbol;
      case Step::DistanceSymbol:
        return Status::BadDistanceSymbol;
      case Step::Distance:
        return Status::DistanceTooFar;
      }
    }
  }

  // Decodes symbols until the end of the block, the stop point of the window, or (fast form) the
  // end of the safely readable input. The fast form refills whole words without looking; the
  // careful form runs only after the source has ended, pulls single bytes (zeros past the end)
  // and checks after every symbol that no padding was used.
  template <bool kCareful> Step decode(const DecodeTables& tables) {
    const u8* in = in_.next;
    const u8* const inEnd = in_.end;
    u64 bits = in_.bits;
    unsigned count = in_.count;
    unsigned overread = in_.overread;
    u8* const w = window_.get();
    std::size_t pos = fill_;
    const std::size_t stop = stopFill_;
    const u32* const lit = tables.lit.data();
    const u32* const dist = tables.dist.data();
    Step step = Step::More;

    const auto refill = [&] {
      if constexpr (kCareful) {
        while (count < 56) {
          u64 b = 0;
          if (in != inEnd)
            b = *in++;
          else
            ++overread;
          bits |= b << count;
          count += 8;
        }
      } else {
        refillWord(in, bits, count);
      }
    };
    const auto consume = [&](unsigned n) {
      bits >>= n;
      count -= n;
      if constexpr (kCareful)
        return overread * 8 <= count;
      else
        return true;
    };
    const auto field = [&](u32 e) {
      return huffPayload(e) +
             static_cast<u32>((bits & ((u64{1} << huffConsume(e)) - 1)) >> huffCodeLength(e));
    };

    const auto litIndex = [&] { return bits & ((1u << kLitRootBits) - 1); };
    // The entry of the next symbol is looked up ahead of each check, so that its load overlaps
    // the work of the symbol before.
    refill();
    u32 e = lit[litIndex()];
    for (;;) {
      if (pos >= stop)
        break;
      if constexpr (!kCareful) {
        if (static_cast<std::size_t>(inEnd - in) < LsbBitInput::kFastMargin)
          break;
      }
      if (e & kLiteral) {
        // After a refill there are bits for three literals (15 bits each at most).
        if (!consume(huffConsume(e))) {
          step = Step::NoData;
          break;
        }
        w[pos++] = static_cast<u8>(huffPayload(e));
        e = lit[litIndex()];
        if (e & kLiteral) {
          if (!consume(huffConsume(e))) {
            step = Step::NoData;
            break;
          }
          w[pos++] = static_cast<u8>(huffPayload(e));
          e = lit[litIndex()];
          if (e & kLiteral) {
            if (!consume(huffConsume(e))) {
              step = Step::NoData;
              break;
            }
            w[pos++] = static_cast<u8>(huffPayload(e));
            refill();
            e = lit[litIndex()];
            continue;
          }
        }
        // A length with its extra bits takes up to 31 bits (Deflate64); the bits already looked
        // at stay where they are.
        if (count < 31)
          refill();
      }
      if (e & kHuffSubtable) {
        bits >>= kLitRootBits;
        count -= kLitRootBits;
        e = lit[huffPayload(e) + (bits & ((u64{1} << huffCodeLength(e)) - 1))];
        if (e & kLiteral) {
          if (!consume(huffConsume(e))) {
            step = Step::NoData;
            break;
          }
          w[pos++] = static_cast<u8>(huffPayload(e));
          refill();
          e = lit[litIndex()];
          continue;
        }
      }
      if (e & (kHuffInvalid | kEndOfBlock)) {
        if (e & kHuffInvalid)
          step = Step::UnusedCode;
        else if (huffPayload(e) != 0)
          step = Step::LengthSymbol;
        else
          step = consume(huffConsume(e)) ? Step::EndOfBlock : Step::NoData;
        break;
      }
      const u32 length = field(e);
      if (!consume(huffConsume(e))) {
        step = Step::NoData;
        break;
      }
      // A Deflate distance takes at most 28 bits, a Deflate64 one 29.
      if (count < 29)
        refill();
      u32 d = dist[bits & ((1u << kDistRootBits) - 1)];
      if (d & kHuffSubtable) {
        bits >>= kDistRootBits;
        count -= kDistRootBits;
        d = dist[huffPayload(d) + (bits & ((u64{1} << huffCodeLength(d)) - 1))];
      }
      if (d & (kHuffInvalid | kBadDistance)) {
        step = (d & kHuffInvalid) ? Step::UnusedCode : Step::DistanceSymbol;
        break;
      }
      const u32 distance = field(d);
      if (!consume(huffConsume(d))) {
        step = Step::NoData;
        break;
      }
      if (distance > pos) {
        step = Step::Distance;
        break;
      }
      refill();
      e = lit[litIndex()];
      copyMatchWithSlack(w + pos, distance, length);
      pos += length;
    }

    in_.next = in;
    in_.bits = bits;
    in_.count = count;
    in_.overread = overread;
    fill_ = pos;
    return step;
  }

  static inline const std::array<u32, kLitSymbols> kLitEntries = litSymbolEntries(false);
  static inline const std::array<u32, kLitSymbols> kLitEntries64 = litSymbolEntries(true);
  static inline const std::array<u32, kDistSymbols> kDistEntries = distSymbolEntries(false);
  static inline const std::array<u32, kDistSymbols> kDistEntries64 = distSymbolEntries(true);

  LsbBitInput in_;
  ByteSink* out_ = nullptr;
  const InflateOptions options_;
  const bool deflate64_;
  const std::size_t history_;
  const std::size_t writePoint_;
  std::unique_ptr<u8[]> window_;
  std::size_t fill_ = 0;
  std::size_t written_ = 0; // window bytes already written
  std::size_t stopFill_ = 0;
  u64 produced_ = 0;
  std::unique_ptr<DecodeTables> dynamic_;
};

Inflater::Inflater(ByteSource& in, InflateOptions options)
    : impl_(std::make_unique<Impl>(in, std::move(options))) {}
Inflater::~Inflater() = default;
Status Inflater::run(ByteSink& out) { return impl_->run(out); }
std::uint64_t Inflater::produced() const { return impl_->produced(); }
std::uint64_t Inflater::unusedInput() const { return impl_->unusedInput(); }

} // namespace kyv::codec
