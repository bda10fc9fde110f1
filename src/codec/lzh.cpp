#include "codec/lzh.h"

#include <algorithm>

namespace kyv::codec {

namespace {

constexpr unsigned kMinMatch = 3;
// A block's symbol count field is 16 bits; 0 stands for 65536, as the decoders that count it
// down in 16 bits take it.
constexpr std::uint32_t kEmptyBlockCount = 65536;
// Bits one step of the symbol loop may take: a literal/length code word, a position code word and
// up to 15 extra bits.
constexpr unsigned kStepBits = 16 + 16 + 15;

bool build(std::span<const std::uint8_t> lengths, unsigned rootBits,
           std::span<std::uint32_t> table) {
  return buildHuffmanTable(lengths, plainSymbolEntries(lengths.size()), rootBits, 16, table,
                           BitOrder::MsbFirst, Incomplete::Refused) == HuffBuild::Ok;
}

// A set that names one symbol: every code word, of no bits, is that symbol.
void single(std::span<std::uint32_t> table, unsigned rootBits, unsigned symbol) {
  std::fill_n(table.begin(), std::size_t{1} << rootBits, static_cast<std::uint32_t>(symbol) << 16);
}

} // namespace

void LzhDecoder::prepare(const LzhFormat& format) {
  format_ = format;
  ring_.reset(format.window, format.fill);
  blockLeft_ = 0;
}

LzhStatus LzhDecoder::readSmallLengths(LzhInput& in, unsigned symbols, unsigned countBits,
                                       int zeroRunAfter) {
  in.refill();
  const unsigned n = in.get(countBits);
  if (n == 0) {
    const unsigned symbol = in.get(countBits);
    if (symbol >= symbols)
      return LzhStatus::BadTable;
    single(small_, kSmallRootBits, symbol);
    return LzhStatus::Ok;
  }
  if (n > symbols)
    return LzhStatus::BadTable;
  std::fill(smallLengths_.begin(), smallLengths_.end(), 0);
  unsigned i = 0;
  while (i < n) {
    if (in.count < 24)
      in.refill();
    unsigned length = in.get(3);
    if (length == 7) {
      // A unary tail: each 1 bit adds one, a 0 bit ends it.
      while (in.get(1) == 1)
        if (++length > kMaxLength)
          return LzhStatus::BadTable;
    }
    smallLengths_[i++] = static_cast<std::uint8_t>(length);
    if (static_cast<int>(i) == zeroRunAfter)
      i += in.get(2); // those lengths stay 0; at most 6 < any symbol count here
  }
  return build(std::span(smallLengths_).first(symbols), kSmallRootBits, small_)
             ? LzhStatus::Ok
             : LzhStatus::BadTable;
}

LzhStatus LzhDecoder::readSymbolLengths(LzhInput& in) {
  in.refill();
  const unsigned n = in.get(9);
  if (n == 0) {
    const unsigned symbol = in.get(9);
    if (symbol >= kSymbols)
      return LzhStatus::BadTable;
    single(symbols_, kSymbolRootBits, symbol);
    return LzhStatus::Ok;
  }
  if (n > kSymbols)
    return LzhStatus::BadTable;
  std::fill(lengths_.begin(), lengths_.end(), 0);
  unsigned i = 0;
  while (i < n) {
    if (in.count < 32)
      in.refill();
    const std::uint32_t e = decodeMsbFirst(in, small_.data(), kSmallRootBits);
    if (e & kHuffInvalid)
      return LzhStatus::BadTable;
    const unsigned c = huffPayload(e);
    if (c > 2) {
      lengths_[i++] = static_cast<std::uint8_t>(c - 2);
      continue;
    }
    // Runs of zero lengths: 1, 3 to 18, or 20 to 530. A run may pass the count read, but not the
    // end of the symbols.
    const unsigned run = c == 0 ? 1 : c == 1 ? in.get(4) + 3 : in.get(9) + 20;
    if (run > kSymbols - i)
      return LzhStatus::BadTable;
    i += run;
  }
  return build(lengths_, kSymbolRootBits, symbols_) ? LzhStatus::Ok : LzhStatus::BadTable;
}

LzhStatus LzhDecoder::startBlock(LzhInput& in) {
  in.refill();
  blockLeft_ = in.get(16);
  if (blockLeft_ == 0)
    blockLeft_ = kEmptyBlockCount;
  LzhStatus status = readSmallLengths(in, kCodeLengthSymbols, 5, 3);
  if (status == LzhStatus::Ok)
    status = readSymbolLengths(in);
  if (status == LzhStatus::Ok)
    status = readSmallLengths(in, format_.positionSymbols, format_.positionBits, -1);
  if (in.overrun())
    return LzhStatus::InputEnded;
  return status;
}

// Decodes whole symbols until `want` bytes are pending or the ring has no room for another step.
LzhStatus LzhDecoder::decode(LzhInput& in, std::size_t want) {
  const std::size_t window = format_.window;
  while (ring_.pending() < want && ring_.room() >= LzRing::kMaxStep) {
    if (blockLeft_ == 0) {
      if (const LzhStatus status = startBlock(in); status != LzhStatus::Ok)
        return status;
    }
    if (in.count < kStepBits)
      in.refill();
    --blockLeft_;
    const std::uint32_t e = decodeMsbFirst(in, symbols_.data(), kSymbolRootBits);
    if (e & kHuffInvalid)
      return LzhStatus::BadSymbol;
    const unsigned c = huffPayload(e);
    // Near the end of the input a refill pads with zeros; the step that takes any of them ends
    // the stream before it writes.
    if (in.overread != 0 && in.overrun())
      return LzhStatus::InputEnded;
    if (c < 256) {
      ring_.put(static_cast<std::uint8_t>(c));
      continue;
    }
    const unsigned length = c - 256 + kMinMatch;
    const std::uint32_t p = decodeMsbFirst(in, small_.data(), kSmallRootBits);
    if (p & kHuffInvalid)
      return LzhStatus::BadSymbol;
    const unsigned j = huffPayload(p);
    std::size_t distance = 1;
    if (j > 0) {
      const unsigned extra = j - 1;
      distance += (std::size_t{1} << extra) + (extra == 0 ? 0 : in.peek(extra));
      in.drop(extra);
    }
    if (in.overread != 0 && in.overrun())
      return LzhStatus::InputEnded;
    if (distance > window)
      return LzhStatus::BadDistance;
    ring_.copy(distance, length);
  }
  return LzhStatus::Ok;
}

LzhStatus LzhDecoder::expand(LzhInput& in, std::span<std::byte> output, std::size_t* produced) {
  return ring_.fill<LzhStatus>(output, produced,
                               [&](std::size_t want) { return decode(in, want); });
}

} // namespace kyv::codec
