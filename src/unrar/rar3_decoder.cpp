#include "unrar/rar3_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <span>

#include "codec/branch_filters.h"
#include "codec/checksum.h"
#include "unrar/lz_tables.h"
#include "unrar/rar_ppmd.h"
#include "unrar/lz_filters.h"
#include "unrar/table_reader.h"

namespace kyv::unrar {
namespace {

constexpr unsigned kMainSymbols = 299;
constexpr unsigned kDistSymbols = 60;
constexpr unsigned kLowDistSymbols = 17;
constexpr unsigned kRepSymbols = 28;
constexpr unsigned kTableSize = kMainSymbols + kDistSymbols + kLowDistSymbols + kRepSymbols;
static_assert(kTableSize == 404);
static_assert(kDistSymbols == kDistSlots);

// Filter programs are recognised by length and CRC-32 of their code; only these six are run.
enum FilterType : std::uint8_t { kCustom, kE8, kE8E9, kItanium, kDelta, kRgb, kAudio };
struct StandardFilter {
  std::uint32_t length;
  std::uint32_t crc;
  FilterType type;
};
constexpr std::array<StandardFilter, 6> kStandardFilters{{{53, 0xAD576887, kE8},
                                                          {57, 0x3CD7E57E, kE8E9},
                                                          {120, 0x3769893F, kItanium},
                                                          {29, 0x0E06077D, kDelta},
                                                          {149, 0x1C2C5DC8, kRgb},
                                                          {216, 0xBC85E701, kAudio}}};

// The filter machine's limits: blocks live in half of its 256 KiB memory, at most 1024 filter
// kinds per stream, code under 64 KiB, global data under 8 KiB.
constexpr std::uint32_t kMaxFilterBlock = 0x20000;
constexpr std::size_t kMaxFilterKinds = 1024;
constexpr std::size_t kMaxPending = 8192;
constexpr std::uint32_t kMaxGlobalData = 0x2000 - 0x40;

// Numbers in filter records: two selector bits, then 4, 8 (or a negative 8), 16 or 32 bits.
std::uint32_t readNumber(BitReader& in) {
  const std::uint32_t v = in.peek(16);
  switch (v & 0xC000) {
  case 0:
    in.drop(6);
    return (v >> 10) & 0xF;
  case 0x4000:
    if ((v & 0x3C00) == 0) {
      in.drop(14);
      return 0xFFFFFF00u | ((v >> 2) & 0xFF);
    }
    in.drop(10);
    return (v >> 6) & 0xFF;
  case 0x8000:
    in.drop(2);
    return in.get(16);
  default: {
    in.drop(2);
    const std::uint32_t hi = in.get(16);
    return (hi << 16) | in.get(16);
  }
  }
}

} // namespace

Rar3Decoder::Rar3Decoder() = default;
Rar3Decoder::~Rar3Decoder() = default;

void Rar3Decoder::reset(std::uint64_t dictionary) {
  window_.allocate(std::max<std::uint64_t>(dictionary, 4u << 20));
  pending_.clear();
  filters_.clear();
  lastFilter_ = 0;
  oldTable_.fill(0);
  tablesRead_ = false;
  block_ = Block::Lz;
  oldDist_.fill(0);
  lastDist_ = 0;
  lastLength_ = 0;
  prevLowDist_ = 0;
  lowDistRepeat_ = 0;
  ppmEscape_ = 2;
  if (ppm_)
    ppm_->reset();
}

bool Rar3Decoder::readTables(BitReader& in) {
  in.align(8);
  if (in.peek(1) != 0) {
    if (!ppm_)
      ppm_ = std::make_unique<RarPpmdDecoder>();
    ppm_->init(in, ppmEscape_);
    block_ = Block::Ppm;
    tablesRead_ = true;
    return true;
  }
  block_ = Block::Lz;
  prevLowDist_ = 0;
  lowDistRepeat_ = 0;
  const bool keep = in.peek(2) & 1;
  in.drop(2);
  if (!keep)
    oldTable_.fill(0);
  std::array<std::uint8_t, kTableSize> table{};
  readTableLengths(in, table, oldTable_.data());
  if (in.overrun())
    dataError("tables run past the packed data");
  buildCodes(table, {{&main_, kMainSymbols},
                     {&dist_, kDistSymbols},
                     {&lowDist_, kLowDistSymbols},
                     {&rep_, kRepSymbols}});
  oldTable_ = table;
  tablesRead_ = true;
  return true;
}

void Rar3Decoder::copy(std::uint32_t length, std::uint64_t distance) {
  lastLength_ = length;
  lastDist_ = distance;
  window_.copyMatch(distance, length);
}

// Symbol 256: either a new table follows, or the member ends (perhaps announcing new tables
// for the next member of a solid archive).
bool Rar3Decoder::endOfBlock(BitReader& in) {
  const std::uint32_t bits = in.peek(2);
  if (bits & 2) {
    in.drop(1);
    tablesRead_ = false;
    return readTables(in);
  }
  in.drop(2);
  tablesRead_ = (bits & 1) == 0;
  return false;
}

bool Rar3Decoder::lzStep(BitReader& in) {
  std::uint32_t sym = main_.decode(in);
  if (sym < 256) {
    window_.put(static_cast<std::uint8_t>(sym));
    return true;
  }
  if (sym >= 271) {
    sym -= 271;
    std::uint32_t length = kLengthBase[sym] + 3 + in.get(kLengthBits[sym]);
    const std::uint32_t slot = dist_.decode(in);
    std::uint64_t distance = kDist.base[slot] + 1;
    const unsigned bits = kDist.bits[slot];
    if (slot > 9) {
      if (bits > 4)
        distance += static_cast<std::uint64_t>(in.get(bits - 4)) << 4;
      if (lowDistRepeat_ > 0) {
        --lowDistRepeat_;
        distance += prevLowDist_;
      } else {
        const std::uint32_t low = lowDist_.decode(in);
        if (low == 16) {
          lowDistRepeat_ = 15;
          distance += prevLowDist_;
        } else {
          distance += low;
          prevLowDist_ = low;
        }
      }
    } else {
      distance += in.get(bits);
    }
    if (distance >= 0x2000) {
      ++length;
      if (distance >= 0x40000)
        ++length;
    }
    oldDist_ = {distance, oldDist_[0], oldDist_[1], oldDist_[2]};
    copy(length, distance);
    return true;
  }
  if (sym == 256)
    return endOfBlock(in);
  if (sym == 257) {
    const std::uint32_t first = in.get(8);
    std::uint32_t length = (first & 7) + 1;
    if (length == 7)
      length = in.get(8) + 7;
    else if (length == 8)
      length = in.get(16);
    std::vector<std::uint8_t> code(length);
    for (auto& b : code)
      b = static_cast<std::uint8_t>(in.get(8));
    addFilter(first, code);
    return true;
  }
  if (sym == 258) {
    if (lastLength_ != 0)
      copy(lastLength_, lastDist_);
    return true;
  }
  if (sym < 263) {
    const unsigned which = sym - 259;
    const std::uint64_t distance = oldDist_[which];
    for (unsigned k = which; k > 0; --k)
      oldDist_[k] = oldDist_[k - 1];
    oldDist_[0] = distance;
    const std::uint32_t ls = rep_.decode(in);
    copy(kLengthBase[ls] + 2 + in.get(kLengthBits[ls]), distance);
    return true;
  }
  sym -= 263;
  const std::uint64_t distance = kShortBase[sym] + 1 + in.get(kShortBits[sym]);
  oldDist_ = {distance, oldDist_[0], oldDist_[1], oldDist_[2]};
  copy(2, distance);
  return true;
}

bool Rar3Decoder::ppmStep(BitReader& in) {
  const int ch = ppm_->decodeChar(in);
  if (ch < 0)
    dataError("PPMd data damaged");
  if (ch != ppmEscape_) {
    window_.put(static_cast<std::uint8_t>(ch));
    return true;
  }
  const int code = ppm_->decodeChar(in);
  auto next = [&] {
    const int c = ppm_->decodeChar(in);
    if (c < 0)
      dataError("PPMd data damaged");
    return static_cast<std::uint32_t>(c);
  };
  switch (code) {
  case 0:
    return readTables(in);
  case 2:
    tablesRead_ = false; // the next member starts with its own block header
    return false;
  case 3: {
    const std::uint32_t first = next();
    std::uint32_t length = (first & 7) + 1;
    if (length == 7) {
      length = next() + 7;
    } else if (length == 8) {
      length = next() << 8;
      length |= next();
    }
    std::vector<std::uint8_t> code(length);
    for (auto& b : code)
      b = static_cast<std::uint8_t>(next());
    addFilter(first, code);
    return true;
  }
  case 4: {
    std::uint64_t distance = 0;
    for (int i = 0; i < 3; ++i)
      distance = (distance << 8) | next();
    const std::uint32_t length = next();
    copy(length + 32, distance + 2);
    return true;
  }
  case 5:
    copy(next() + 4, 1);
    return true;
  case 1:
    window_.put(static_cast<std::uint8_t>(ppmEscape_));
    return true;
  default:
    dataError("PPMd data damaged");
  }
}

void Rar3Decoder::addFilter(std::uint32_t firstByte, const std::vector<std::uint8_t>& code) {
  BitReader in(code);
  std::uint32_t index;
  if (firstByte & 0x80) {
    index = readNumber(in);
    if (index == 0) {
      filters_.clear();
      pending_.clear();
    } else {
      --index;
    }
  } else {
    index = lastFilter_;
  }
  if (index > filters_.size())
    dataError("filter record refers to an unknown filter");
  lastFilter_ = index;
  const bool isNew = index == filters_.size();
  if (isNew) {
    if (filters_.size() >= kMaxFilterKinds)
      dataError("too many filter kinds");
    filters_.emplace_back();
  } else {
    ++filters_[index].execCount;
  }
  FilterDef& def = filters_[index];
  std::uint32_t start = readNumber(in);
  if (firstByte & 0x40)
    start += 258;
  if (firstByte & 0x20)
    def.lastLength = readNumber(in);
  LzFilter f;
  f.length = def.lastLength;
  f.start = window_.pos() + start;
  std::uint32_t regs[7] = {};
  regs[4] = f.length;
  regs[5] = def.execCount;
  if (firstByte & 0x10) {
    const std::uint32_t mask = in.get(7);
    for (unsigned i = 0; i < 7; ++i)
      if (mask & (1u << i))
        regs[i] = readNumber(in);
  }
  if (isNew) {
    const std::uint32_t size = readNumber(in);
    if (size == 0 || size >= 0x10000)
      dataError("filter code size out of range");
    std::vector<std::uint8_t> prog(size);
    for (auto& b : prog)
      b = static_cast<std::uint8_t>(in.get(8));
    def.type = kCustom;
    const std::uint32_t crc = codec::crc32Update(0, std::as_bytes(std::span(prog)));
    for (const auto& s : kStandardFilters)
      if (s.length == size && s.crc == crc)
        def.type = s.type;
  }
  if (firstByte & 8) {
    const std::uint32_t size = readNumber(in);
    if (size > kMaxGlobalData)
      dataError("filter data too large");
    for (std::uint32_t i = 0; i < size; ++i)
      in.get(8);
  }
  if (in.overrun())
    dataError("filter record shorter than its fields");
  f.type = def.type;
  std::copy(std::begin(regs), std::end(regs), f.params);
  queueFilter(
      pending_, f, kMaxPending, [this] { flush(false); }, "too many pending filters");
}

void Rar3Decoder::applyFilter(const LzFilter& f, std::vector<std::uint8_t>& d) const {
  const std::uint32_t n = static_cast<std::uint32_t>(d.size());
  const auto fileOffset = static_cast<std::uint32_t>(f.start - window_.memberStart());
  switch (f.type) {
  case kE8:
  case kE8E9:
    if (n > kMaxFilterBlock || n < 4)
      dataError("E8 filter block size out of range");
    undoX86(d, fileOffset, f.type == kE8E9);
    break;
  case kItanium:
    if (n > kMaxFilterBlock || n < 21)
      dataError("Itanium filter block size out of range");
    // Bundles are undone while 21 bytes follow their start, as the filter program does; the
    // codec stops at the last whole bundle, so the six bytes past it are held back.
    codec::itaniumDecode(std::span(d).first(n - 6), fileOffset >> 4);
    break;
  case kDelta: {
    const std::uint32_t channels = f.params[0];
    if (n > kMaxFilterBlock || channels == 0 || channels > 1024)
      dataError("delta filter parameters out of range");
    undoDelta(d, channels);
    break;
  }
  case kRgb: {
    const std::uint32_t stride = f.params[0];
    const std::uint32_t posR = f.params[1];
    if (n > kMaxFilterBlock || n < 3 || stride < 3 || stride - 3 > n || posR > 2)
      dataError("RGB filter parameters out of range");
    undoRgb(d, stride, posR);
    break;
  }
  case kAudio: {
    const std::uint32_t channels = f.params[0];
    if (n > kMaxFilterBlock || channels == 0 || channels > 128)
      dataError("audio filter parameters out of range");
    undoAudio(d, channels);
    break;
  }
  default:
    dataError("filter program is not one of the standard filters");
  }
}

void Rar3Decoder::flush(bool final) {
  window_.flush(pending_, true, final,
                [this](const LzFilter& f, std::vector<std::uint8_t>& d) { applyFilter(f, d); });
}

void Rar3Decoder::decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) {
  window_.startMember(&out, size);
  if (!tablesRead_)
    readTables(in);
  bool more = true;
  while (more && !window_.memberDone()) {
    if (window_.pos() >= window_.flushLimit()) {
      flush(false);
      if (window_.pos() >= window_.flushLimit())
        dataError("filter block does not fit in the window");
    }
    more = block_ == Block::Ppm ? ppmStep(in) : lzStep(in);
  }
  if (more && !in.consumedAll()) {
    // The member's bytes are all there; read the end marker too when it follows, since it
    // tells the next member of a solid archive whether new tables come first.
    try {
      if (block_ == Block::Lz) {
        if (main_.decode(in) == 256 && (in.peek(2) & 2) == 0)
          tablesRead_ = (in.get(2) & 1) == 0;
      } else if (ppm_->decodeChar(in) == ppmEscape_ && ppm_->decodeChar(in) == 2) {
        tablesRead_ = false;
      }
    } catch (const Error&) {
    }
  }
  flush(true);
}

} // namespace kyv::unrar
