#include "codec/bzip2.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "codec/bit_input.h"
#include "codec/checksum.h"
#include "codec/huffman_table.h"

namespace kyv::codec {

namespace {

constexpr std::uint64_t kBlockMagic = 0x314159265359ull;
constexpr std::uint64_t kEndMagic = 0x177245385090ull;
// A level's block holds up to level x 100 000 bytes before the run-length stage is undone.
constexpr std::uint32_t kLevelBlockSize = 100000;
constexpr std::uint32_t kMaxBlockSize = 9 * kLevelBlockSize;
static_assert(kMaxBlockSize < (1u << 24), "a position fits beside its byte in 32 bits");
// Symbols: the two zero-run digits, up to 255 move-to-front positions, end of block.
constexpr unsigned kMaxAlphabet = 258;
constexpr unsigned kMinTables = 2, kMaxTables = 6;
constexpr unsigned kGroupSize = 50;
// A full block is at most 900 000 symbols and its end symbol: 18 001 groups of 50. Encoders may
// write a few more selectors; those are read and ignored.
constexpr std::uint32_t kMaxSelectors = 18002;
constexpr unsigned kMaxCodeLength = 20;
// Most code words of a block's tables are 12 bits or shorter; longer ones take a subtable.
constexpr unsigned kRootBits = 12;
constexpr std::size_t kTableCapacity = huffTableCapacity(kMaxAlphabet, kRootBits, kMaxCodeLength);
// A zero run is a number in bijective base 2, least significant digit first: 20 digits already
// pass the largest block.
constexpr unsigned kMaxRunDigits = 20;
// After four equal bytes comes a count of further copies.
constexpr unsigned kRunTrigger = 4;

// The bit state of the hot loop, kept in locals so that stores to the block cannot alias it.
struct LocalBits {
  std::uint64_t bits;
  unsigned count;
  std::uint32_t peek(unsigned n) const { return static_cast<std::uint32_t>(bits >> (64 - n)); }
  void drop(unsigned n) {
    bits <<= n;
    count -= n;
  }
};

} // namespace

const char* bzip2StatusText(Bzip2Status s) {
  switch (s) {
  case Bzip2Status::Ok:
    return "ok";
  case Bzip2Status::StreamEnd:
    return "end of data";
  case Bzip2Status::BlockCrcMismatch:
    return "block CRC mismatch";
  case Bzip2Status::StreamCrcMismatch:
    return "stream CRC mismatch";
  case Bzip2Status::BadSignature:
    return "not a bzip2 stream";
  case Bzip2Status::BadBlockMagic:
    return "bad block header";
  case Bzip2Status::Randomised:
    return "randomised block (obsolete, not supported)";
  case Bzip2Status::BadOrigin:
    return "bad block origin";
  case Bzip2Status::NoSymbols:
    return "empty symbol map";
  case Bzip2Status::BadTableCount:
    return "bad Huffman table count";
  case Bzip2Status::NoSelectors:
    return "no selectors";
  case Bzip2Status::BadSelector:
    return "bad selector";
  case Bzip2Status::BadCodeLength:
    return "bad code length";
  case Bzip2Status::BadCode:
    return "bad Huffman code";
  case Bzip2Status::BlockTooLong:
    return "block longer than its level allows";
  case Bzip2Status::Truncated:
    return "unexpected end of data";
  }
  return "unknown error";
}

class Bzip2Decoder::Impl {
public:
  explicit Impl(ByteSource& in, std::uint64_t limit) : in_(in, limit) {}
  explicit Impl(std::span<const std::byte> in) : in_(in) {}

  Bzip2Status read(std::span<std::byte> out, std::size_t& produced);
  std::uint64_t produced() const { return produced_; }
  std::uint64_t consumed() const {
    if (trailing_)
      return streamsEnd_;
    const unsigned held = in_.count / 8;
    return in_.consumed() - (held > in_.overread ? held - in_.overread : 0);
  }
  bool trailingData() const { return trailing_; }

private:
  using Input = MsbBitInput<1>;
  enum class Phase { StreamHeader, BlockHeader, Output, End, Failed };

  // A damaged stream that ran out of input reads as cut short, whatever the zeros looked like.
  Bzip2Status fail(Bzip2Status s) {
    failure_ = in_.overrun() ? Bzip2Status::Truncated : s;
    phase_ = Phase::Failed;
    return failure_;
  }
  std::uint32_t get(unsigned n) { return in_.get(n); }
  bool moreInput();
  Bzip2Status startStream();
  Bzip2Status startBlock();
  Bzip2Status readTables(unsigned& alphaSize, std::uint32_t& selectors);
  Bzip2Status readSymbols(unsigned alphaSize, std::uint32_t selectors, std::uint32_t& length);
  bool growBlock(std::uint32_t used, std::uint32_t need);
  std::size_t emit(std::uint8_t* out, std::size_t room);

  Input in_;
  Phase phase_ = Phase::StreamHeader;
  Bzip2Status failure_ = Bzip2Status::Ok;
  bool firstStream_ = true;
  bool trailing_ = false;
  std::uint64_t streamsEnd_ = 0; // input used by the streams, when something else follows them
  std::uint64_t produced_ = 0;

  std::uint32_t blockLimit_ = 0;        // the stream's level x 100 000
  std::unique_ptr<std::uint32_t[]> tt_; // per position: next position << 8 | byte
  std::uint32_t ttSize_ = 0;      // entries allocated: grown as blocks need, up to blockLimit_
  std::uint32_t storedCrc_ = 0;   // of the block being written out
  std::uint32_t blockCrc_ = 0;    // running, of the block's bytes written so far
  std::uint32_t combinedCrc_ = 0; // of the stream's blocks so far

  // The block being written out.
  std::uint32_t pos_ = 0;
  std::uint32_t left_ = 0; // vector entries not yet walked
  int last_ = -1;          // the last byte written, -1 at a block start
  unsigned runLength_ = 0; // equal bytes seen in a row, up to kRunTrigger
  unsigned repeat_ = 0;    // copies of last_ still to write

  std::array<std::uint8_t, 256> symbolToByte_{};
  unsigned symbols_ = 0;
  std::array<std::uint8_t, kMaxSelectors> selectors_{};
  std::array<std::array<std::uint8_t, kMaxAlphabet>, kMaxTables> lengths_{};
  // Left uninitialised: each table is built before it is read, and only the parts a code needs.
  std::array<std::array<std::uint32_t, kTableCapacity>, kMaxTables> tables_;
};

bool Bzip2Decoder::Impl::moreInput() {
  in_.align(8);
  in_.enterBytes();
  if (in_.available() == 0 && !in_.atEnd())
    in_.fillBuffer();
  return in_.available() > 0;
}

Bzip2Status Bzip2Decoder::Impl::startStream() {
  if (!firstStream_ && !moreInput()) {
    phase_ = Phase::End;
    return Bzip2Status::Ok;
  }
  const std::uint64_t start = consumed();
  const std::uint32_t signature = get(24);
  const std::uint32_t level = get(8);
  if (signature != 0x425A68 /* "BZh" */ || level < '1' || level > '9' || in_.overrun()) {
    if (firstStream_) { // cut short or not, it is not a stream
      failure_ = Bzip2Status::BadSignature;
      phase_ = Phase::Failed;
      return failure_;
    }
    // Something else follows the last stream: it is not ours to decode.
    streamsEnd_ = start;
    trailing_ = true;
    phase_ = Phase::End;
    return Bzip2Status::Ok;
  }
  blockLimit_ = (level - '0') * kLevelBlockSize;
  firstStream_ = false;
  combinedCrc_ = 0;
  phase_ = Phase::BlockHeader;
  return Bzip2Status::Ok;
}

Bzip2Status Bzip2Decoder::Impl::readTables(unsigned& alphaSize, std::uint32_t& selectors) {
  // Which byte values the block uses: a bit per group of 16, then a bit per value of each group.
  const std::uint32_t groups = get(16);
  symbols_ = 0;
  for (unsigned g = 0; g < 16; ++g) {
    if ((groups & (0x8000u >> g)) == 0)
      continue;
    const std::uint32_t used = get(16);
    for (unsigned b = 0; b < 16; ++b)
      if (used & (0x8000u >> b))
        symbolToByte_[symbols_++] = static_cast<std::uint8_t>(g * 16 + b);
  }
  if (symbols_ == 0)
    return fail(Bzip2Status::NoSymbols);
  alphaSize = symbols_ + 2;

  const unsigned tables = get(3);
  if (tables < kMinTables || tables > kMaxTables)
    return fail(Bzip2Status::BadTableCount);
  const std::uint32_t count = get(15);
  if (count == 0)
    return fail(Bzip2Status::NoSelectors);
  // Selectors are move-to-front positions in unary.
  std::array<std::uint8_t, kMaxTables> order{0, 1, 2, 3, 4, 5};
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned j = 0;
    while (get(1) != 0)
      if (++j >= tables)
        return fail(Bzip2Status::BadSelector);
    const std::uint8_t t = order[j];
    std::memmove(order.data() + 1, order.data(), j);
    order[0] = t;
    if (i < kMaxSelectors)
      selectors_[i] = t;
  }
  selectors = std::min(count, kMaxSelectors);

  // Code lengths: a 5-bit start, then per symbol steps of +1 or -1 until a 0 bit.
  for (unsigned t = 0; t < tables; ++t) {
    unsigned length = get(5);
    for (unsigned s = 0; s < alphaSize; ++s) {
      for (;;) {
        if (length < 1 || length > kMaxCodeLength)
          return fail(Bzip2Status::BadCodeLength);
        if (get(1) == 0)
          break;
        length = get(1) == 0 ? length + 1 : length - 1;
      }
      lengths_[t][s] = static_cast<std::uint8_t>(length);
    }
    // Encoders write complete codes, but an incomplete one decodes safely: its unused words are
    // refused if met.
    if (buildHuffmanTable(std::span(lengths_[t]).first(alphaSize), plainSymbolEntries(alphaSize),
                          kRootBits, kMaxCodeLength, tables_[t], BitOrder::MsbFirst,
                          Incomplete::Allowed) != HuffBuild::Ok)
      return fail(Bzip2Status::BadCode);
  }
  // A selector naming a table past the last can only come from the range check above.
  return in_.overrun() ? fail(Bzip2Status::Truncated) : Bzip2Status::Ok;
}

// Makes room for `need` entries, keeping the first `used`; false past the stream's block size.
// The vector starts small, so that a small stream costs little whatever level it names.
bool Bzip2Decoder::Impl::growBlock(std::uint32_t used, std::uint32_t need) {
  constexpr std::uint32_t kFirstSize = 1u << 16;
  if (need > blockLimit_)
    return false;
  if (need <= ttSize_)
    return true;
  const std::uint32_t size = std::min(blockLimit_, std::max({need, kFirstSize, ttSize_ * 2}));
  std::unique_ptr<std::uint32_t[]> grown(new std::uint32_t[size]);
  if (used != 0)
    std::memcpy(grown.get(), tt_.get(), used * sizeof(std::uint32_t));
  tt_ = std::move(grown);
  ttSize_ = size;
  return true;
}

Bzip2Status Bzip2Decoder::Impl::readSymbols(unsigned alphaSize, std::uint32_t selectors,
                                            std::uint32_t& length) {
  std::array<std::uint8_t, 256> mtf;
  std::memcpy(mtf.data(), symbolToByte_.data(), symbols_);
  std::array<std::uint32_t, 256> counts{};
  std::uint32_t* tt = tt_.get();
  // A vector grown for an earlier stream of a higher level may be larger than this one allows.
  std::uint32_t room = std::min(ttSize_, blockLimit_);
  const unsigned endOfBlock = alphaSize - 1;
  std::uint32_t n = 0;
  std::uint32_t run = 0;
  unsigned runDigit = 0;
  std::uint32_t group = 0;
  unsigned groupLeft = 0;
  const std::uint32_t* table = nullptr;

  LocalBits b{in_.bits, in_.count};
  for (;;) {
    if (groupLeft == 0) {
      if (group >= selectors) {
        in_.bits = b.bits;
        in_.count = b.count;
        return fail(Bzip2Status::BlockTooLong);
      }
      table = tables_[selectors_[group++]].data();
      groupLeft = kGroupSize;
    }
    --groupLeft;
    if (b.count < kMaxCodeLength) {
      in_.bits = b.bits;
      in_.count = b.count;
      in_.refill();
      b.bits = in_.bits;
      b.count = in_.count;
    }
    const std::uint32_t e = decodeMsbFirst(b, table, kRootBits);
    if (e & kHuffInvalid) {
      in_.bits = b.bits;
      in_.count = b.count;
      return fail(Bzip2Status::BadCode);
    }
    const unsigned sym = huffPayload(e);
    if (sym <= 1) {
      // A zero-run digit: 1 or 2 times the digit's weight.
      if (runDigit >= kMaxRunDigits) {
        in_.bits = b.bits;
        in_.count = b.count;
        return fail(Bzip2Status::BlockTooLong);
      }
      run += (sym + 1) << runDigit;
      ++runDigit;
      continue;
    }
    if (runDigit != 0) {
      if (run > room - n) {
        if (!growBlock(n, n + run)) {
          in_.bits = b.bits;
          in_.count = b.count;
          return fail(Bzip2Status::BlockTooLong);
        }
        tt = tt_.get();
        room = std::min(ttSize_, blockLimit_);
      }
      const std::uint8_t v = mtf[0];
      counts[v] += run;
      std::fill_n(tt + n, run, v);
      n += run;
      run = 0;
      runDigit = 0;
    }
    if (sym == endOfBlock)
      break;
    if (n == room) {
      if (!growBlock(n, n + 1)) {
        in_.bits = b.bits;
        in_.count = b.count;
        return fail(Bzip2Status::BlockTooLong);
      }
      tt = tt_.get();
      room = std::min(ttSize_, blockLimit_);
    }
    // Move-to-front position sym - 1 (position 0 only comes as a zero run).
    unsigned k = sym - 1;
    const std::uint8_t v = mtf[k];
    for (; k > 0; --k)
      mtf[k] = mtf[k - 1];
    mtf[0] = v;
    ++counts[v];
    tt[n++] = v;
  }
  in_.bits = b.bits;
  in_.count = b.count;
  if (in_.overrun())
    return fail(Bzip2Status::Truncated);

  // Inverse transform: the entries of each byte value, in order, point at the positions holding
  // that value, which is how the sorted rotations follow one another.
  std::array<std::uint32_t, 256> next;
  std::uint32_t sum = 0;
  for (unsigned v = 0; v < 256; ++v) {
    next[v] = sum;
    sum += counts[v];
  }
  for (std::uint32_t i = 0; i < n; ++i)
    tt[next[tt[i] & 0xFF]++] |= i << 8;
  length = n;
  return Bzip2Status::Ok;
}

Bzip2Status Bzip2Decoder::Impl::startBlock() {
  const std::uint64_t magic = (std::uint64_t{get(24)} << 24) | get(24);
  if (magic == kEndMagic) {
    const std::uint32_t stored = get(32);
    if (in_.overrun())
      return fail(Bzip2Status::Truncated);
    phase_ = Phase::StreamHeader;
    return stored == combinedCrc_ ? Bzip2Status::Ok : Bzip2Status::StreamCrcMismatch;
  }
  if (magic != kBlockMagic)
    return fail(Bzip2Status::BadBlockMagic);
  storedCrc_ = get(32);
  if (get(1) != 0)
    return fail(Bzip2Status::Randomised);
  const std::uint32_t origin = get(24);
  unsigned alphaSize = 0;
  std::uint32_t selectors = 0;
  if (const Bzip2Status s = readTables(alphaSize, selectors); s != Bzip2Status::Ok)
    return s;
  std::uint32_t length = 0;
  if (const Bzip2Status s = readSymbols(alphaSize, selectors, length); s != Bzip2Status::Ok)
    return s;
  if (origin >= length)
    return fail(Bzip2Status::BadOrigin);
  pos_ = tt_[origin] >> 8;
  left_ = length;
  last_ = -1;
  runLength_ = 0;
  repeat_ = 0;
  blockCrc_ = 0;
  phase_ = Phase::Output;
  return Bzip2Status::Ok;
}

std::size_t Bzip2Decoder::Impl::emit(std::uint8_t* out, std::size_t room) {
  const std::uint32_t* const tt = tt_.get();
  std::uint8_t* o = out;
  std::uint8_t* const end = out + room;
  std::uint32_t pos = pos_;
  std::uint32_t left = left_;
  int last = last_;
  unsigned runLength = runLength_;
  while (o != end) {
    if (repeat_ != 0) {
      const std::size_t k = std::min<std::size_t>(repeat_, static_cast<std::size_t>(end - o));
      std::memset(o, last, k);
      o += k;
      repeat_ -= static_cast<unsigned>(k);
      continue;
    }
    if (left == 0)
      break;
    const std::uint32_t v = tt[pos];
    pos = v >> 8;
    --left;
    const int byte = static_cast<int>(v & 0xFF);
    if (runLength == kRunTrigger) {
      repeat_ = static_cast<unsigned>(byte);
      runLength = 0;
      continue;
    }
    runLength = byte == last ? runLength + 1 : 1;
    last = byte;
    *o++ = static_cast<std::uint8_t>(byte);
  }
  pos_ = pos;
  left_ = left;
  last_ = last;
  runLength_ = runLength;
  return static_cast<std::size_t>(o - out);
}

Bzip2Status Bzip2Decoder::Impl::read(std::span<std::byte> out, std::size_t& produced) {
  produced = 0;
  for (;;) {
    switch (phase_) {
    case Phase::Failed:
      return failure_;
    case Phase::End:
      return Bzip2Status::StreamEnd;
    case Phase::StreamHeader:
      if (const Bzip2Status s = startStream(); s != Bzip2Status::Ok)
        return s;
      break;
    case Phase::BlockHeader:
      if (const Bzip2Status s = startBlock(); s != Bzip2Status::Ok)
        return s;
      break;
    case Phase::Output: {
      auto* const start = reinterpret_cast<std::uint8_t*>(out.data()) + produced;
      const std::size_t n = emit(start, out.size() - produced);
      blockCrc_ = crc32MsbUpdate(blockCrc_, out.subspan(produced, n));
      produced += n;
      produced_ += n;
      if (left_ == 0 && repeat_ == 0) {
        phase_ = Phase::BlockHeader;
        // The stream check combines the blocks' own checks, so one damaged block is told once.
        combinedCrc_ = ((combinedCrc_ << 1) | (combinedCrc_ >> 31)) ^ storedCrc_;
        if (blockCrc_ != storedCrc_)
          return Bzip2Status::BlockCrcMismatch;
      }
      if (produced == out.size())
        return Bzip2Status::Ok;
      break;
    }
    }
  }
}

Bzip2Decoder::Bzip2Decoder(ByteSource& in, std::uint64_t limit)
    : impl_(std::make_unique<Impl>(in, limit)) {}
Bzip2Decoder::Bzip2Decoder(std::span<const std::byte> in) : impl_(std::make_unique<Impl>(in)) {}
Bzip2Decoder::~Bzip2Decoder() = default;

Bzip2Status Bzip2Decoder::read(std::span<std::byte> out, std::size_t& produced) {
  return impl_->read(out, produced);
}
std::uint64_t Bzip2Decoder::produced() const { return impl_->produced(); }
std::uint64_t Bzip2Decoder::consumed() const { return impl_->consumed(); }
bool Bzip2Decoder::trailingData() const { return impl_->trailingData(); }

Bzip2Result bzip2DecodeAll(ByteSource& in, ByteSink& out, std::uint64_t inputLimit,
                           std::uint64_t outputLimit) {
  Bzip2Result r;
  Bzip2Decoder d(in, inputLimit);
  std::vector<std::byte> buffer(std::size_t{1} << 16);
  bool checkFailed = false;
  for (;;) {
    std::span<std::byte> chunk(buffer);
    if (outputLimit != 0) {
      const std::uint64_t room = outputLimit - r.produced;
      // At the limit, one byte more tells whether anything is left.
      chunk = chunk.first(static_cast<std::size_t>(
          std::min<std::uint64_t>(chunk.size(), std::max<std::uint64_t>(room, 1))));
    }
    std::size_t n = 0;
    const Bzip2Status s = d.read(chunk, n);
    if (outputLimit != 0 && r.produced + n > outputLimit) {
      r.limitReached = true;
      return r;
    }
    if (n != 0 && !out.write(chunk.first(n))) {
      r.writeRefused = true;
      return r;
    }
    r.produced += n;
    if (s == Bzip2Status::Ok)
      continue;
    if (bzip2Recoverable(s)) {
      if (!checkFailed)
        r.status = s;
      checkFailed = true;
      continue;
    }
    if (s != Bzip2Status::StreamEnd || !checkFailed)
      r.status = s;
    return r;
  }
}

} // namespace kyv::codec
