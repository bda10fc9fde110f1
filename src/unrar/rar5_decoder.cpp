#include "unrar/rar5_decoder.h"

#include <algorithm>

#include "codec/branch_filters.h"
#include "unrar/lz_filters.h"
#include "unrar/table_reader.h"

namespace kyv::unrar {
namespace {

constexpr unsigned kMainSymbols = 306; // 256 literals, filter, repeat, 4 old distances, 44 lengths
constexpr unsigned kDistSymbols = 64;
constexpr unsigned kLowDistSymbols = 16;
constexpr unsigned kRepSymbols = 44;
constexpr unsigned kTableSize = kMainSymbols + kDistSymbols + kLowDistSymbols + kRepSymbols;

// A filter block longer than this is ignored by the format's own rules.
constexpr std::uint32_t kMaxFilterBlock = 0x400000;
// More pending filters than this means a hostile stream; a real encoder stays far below.
constexpr std::size_t kMaxPendingFilters = 8192;

enum FilterType : std::uint8_t { kDelta = 0, kE8 = 1, kE8E9 = 2, kArm = 3 };

} // namespace

void Rar5Decoder::reset(std::uint64_t dictionary) {
  // Filter blocks need the whole block in the window at once, so never go below 4 MiB + slack.
  window_.allocate(std::max<std::uint64_t>(dictionary, kMaxFilterBlock * 2));
  filters_.clear();
  tablesRead_ = false;
  oldDist_.fill(0);
  lastLength_ = 0;
}

void Rar5Decoder::readBlockHeader(BitReader& in, Block& block) {
  in.align(8);
  const std::uint32_t flags = in.get(8);
  const std::uint32_t check = in.get(8);
  const unsigned sizeBytes = ((flags >> 3) & 3) + 1;
  if (sizeBytes == 4)
    dataError("RAR5 block size field too wide");
  std::uint32_t size = 0;
  std::uint32_t sum = 0x5A ^ flags;
  for (unsigned i = 0; i < sizeBytes; ++i) {
    const std::uint32_t b = in.get(8);
    size |= b << (8 * i);
    sum ^= b;
  }
  if ((sum & 0xFF) != check)
    dataError("RAR5 block header checksum mismatch");
  const std::uint64_t start = in.bitPosition();
  const unsigned lastBits = (flags & 7) + 1;
  block.endBits = size == 0 ? start : start + static_cast<std::uint64_t>(size) * 8 - (8 - lastBits);
  if (block.endBits > in.length() * 8)
    dataError("RAR5 block runs past the packed data");
  block.last = (flags & 0x40) != 0;
  if ((flags & 0x80) != 0)
    readTables(in);
  else if (!tablesRead_)
    dataError("RAR5 block without Huffman tables");
}

void Rar5Decoder::readTables(BitReader& in) {
  std::array<std::uint8_t, kTableSize> table{};
  readTableLengths(in, table, nullptr);
  buildCodes(table, {{&main_, kMainSymbols},
                     {&dist_, kDistSymbols},
                     {&lowDist_, kLowDistSymbols},
                     {&rep_, kRepSymbols}});
  tablesRead_ = true;
}

std::uint32_t Rar5Decoder::slotToLength(BitReader& in, std::uint32_t slot) const {
  if (slot < 8)
    return slot + 2;
  const unsigned bits = slot / 4 - 1;
  return 2 + ((4 | (slot & 3)) << bits) + in.get(bits);
}

void Rar5Decoder::readFilter(BitReader& in) {
  auto number = [&in] {
    const unsigned bytes = in.get(2) + 1;
    std::uint32_t v = 0;
    for (unsigned i = 0; i < bytes; ++i)
      v |= in.get(8) << (8 * i);
    return v;
  };
  LzFilter f;
  f.start = window_.pos() + number();
  f.length = number();
  f.type = static_cast<std::uint8_t>(in.get(3));
  if (f.type == kDelta)
    f.params[0] = in.get(5) + 1;
  if (f.type > kArm || f.length > kMaxFilterBlock)
    return; // the format ignores these; the bits are consumed all the same
  queueFilter(
      filters_, f, kMaxPendingFilters, [this] { flush(false); }, "too many pending RAR5 filters");
}

void Rar5Decoder::applyFilter(const LzFilter& f, std::vector<std::uint8_t>& data) const {
  const std::uint32_t n = f.length;
  // Offsets of the x86 and ARM transforms are relative to the member's first byte.
  const auto fileOffset = static_cast<std::uint32_t>(f.start - window_.memberStart());
  switch (f.type) {
  case kDelta:
    undoDelta(data, f.params[0]);
    break;
  case kE8:
  case kE8E9:
    undoX86(std::span(data).first(n), fileOffset, f.type == kE8E9);
    break;
  case kArm:
    codec::armDecode(std::span(data).first(n), fileOffset);
    break;
  default:
    break;
  }
}

void Rar5Decoder::flush(bool final) {
  window_.flush(filters_, false, final,
                [this](const LzFilter& f, std::vector<std::uint8_t>& d) { applyFilter(f, d); });
}

void Rar5Decoder::decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) {
  window_.startMember(&out, size);
  Block block;
  readBlockHeader(in, block);
  while (!window_.memberDone()) {
    if (in.bitPosition() >= block.endBits) {
      if (in.bitPosition() > block.endBits)
        dataError("RAR5 block overran its size");
      if (block.last)
        break;
      readBlockHeader(in, block);
      continue;
    }
    if (window_.pos() >= window_.flushLimit()) {
      flush(false);
      if (window_.pos() >= window_.flushLimit())
        dataError("RAR5 filter block does not fit in the window");
    }
    const std::uint32_t sym = main_.decode(in);
    if (sym < 256) {
      window_.put(static_cast<std::uint8_t>(sym));
      continue;
    }
    if (sym >= 262) {
      std::uint32_t length = slotToLength(in, sym - 262);
      const std::uint32_t slot = dist_.decode(in);
      std::uint64_t distance;
      if (slot < 4) {
        distance = slot + 1;
      } else {
        const unsigned bits = slot / 2 - 1;
        distance = (static_cast<std::uint64_t>(2 | (slot & 1)) << bits) + 1;
        if (bits >= 4) {
          if (bits > 4)
            distance += static_cast<std::uint64_t>(in.get(bits - 4)) << 4;
          distance += lowDist_.decode(in);
        } else {
          distance += in.get(bits);
        }
      }
      if (distance > 0x100) {
        ++length;
        if (distance > 0x2000) {
          ++length;
          if (distance > 0x40000)
            ++length;
        }
      }
      oldDist_ = {distance, oldDist_[0], oldDist_[1], oldDist_[2]};
      lastLength_ = length;
      window_.copyMatch(distance, length);
    } else if (sym == 256) {
      readFilter(in);
    } else if (sym == 257) {
      if (lastLength_ != 0)
        window_.copyMatch(oldDist_[0], lastLength_);
    } else {
      const unsigned which = sym - 258;
      const std::uint64_t distance = oldDist_[which];
      for (unsigned k = which; k > 0; --k)
        oldDist_[k] = oldDist_[k - 1];
      oldDist_[0] = distance;
      const std::uint32_t length = slotToLength(in, rep_.decode(in));
      lastLength_ = length;
      window_.copyMatch(distance, length);
    }
  }
  flush(true);
}

} // namespace kyv::unrar
