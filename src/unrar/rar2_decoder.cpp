#include "unrar/rar2_decoder.h"

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <span>

#include "unrar/lz_tables.h"

namespace kyv::unrar {
namespace {

constexpr unsigned kMainSymbols = 298;
constexpr unsigned kDistSymbols = 48;
constexpr unsigned kRepSymbols = 28;
constexpr unsigned kBitLengthSymbols = 19;
static_assert(kDistSymbols <= kDistSlots);

} // namespace

void Rar2Decoder::reset(std::uint64_t dictionary) {
  window_.allocate(std::max<std::uint64_t>(dictionary, 1u << 20));
  oldTable_.fill(0);
  tablesRead_ = false;
  audioBlock_ = false;
  channels_ = 1;
  channel_ = 0;
  channelDelta_ = 0;
  audio_ = {};
  oldDist_.fill(0);
  oldDistPtr_ = 0;
  lastDist_ = 0;
  lastLength_ = 0;
}

void Rar2Decoder::readTables(BitReader& in) {
  const std::uint32_t head = in.peek(2);
  in.drop(2);
  audioBlock_ = (head & 2) != 0;
  if ((head & 1) == 0)
    oldTable_.fill(0);
  unsigned size;
  if (audioBlock_) {
    channels_ = in.get(2) + 1;
    if (channel_ >= channels_)
      channel_ = 0;
    size = kAudioSymbols * channels_;
  } else {
    size = kMainSymbols + kDistSymbols + kRepSymbols;
  }
  std::array<std::uint8_t, kBitLengthSymbols> bl{};
  for (auto& l : bl)
    l = static_cast<std::uint8_t>(in.get(4));
  Huffman lengths;
  lengths.build(bl);
  std::array<std::uint8_t, kAudioSymbols * 4> table{};
  for (unsigned i = 0; i < size;) {
    const std::uint32_t n = lengths.decode(in);
    if (n < 16) {
      table[i] = static_cast<std::uint8_t>((n + oldTable_[i]) & 0xF);
      ++i;
    } else if (n == 16) {
      if (i == 0)
        dataError("table repeats a length before the first");
      for (std::uint32_t k = in.get(2) + 3; k > 0 && i < size; --k, ++i)
        table[i] = table[i - 1];
    } else {
      for (std::uint32_t k = n == 17 ? in.get(3) + 3 : in.get(7) + 11; k > 0 && i < size; --k)
        table[i++] = 0;
    }
  }
  if (in.overrun())
    dataError("tables run past the packed data");
  const std::span<const std::uint8_t> t(table);
  if (audioBlock_) {
    for (unsigned c = 0; c < channels_; ++c)
      audioTables_[c].build(t.subspan(c * kAudioSymbols, kAudioSymbols));
  } else {
    main_.build(t.subspan(0, kMainSymbols));
    dist_.build(t.subspan(kMainSymbols, kDistSymbols));
    rep_.build(t.subspan(kMainSymbols + kDistSymbols, kRepSymbols));
  }
  oldTable_ = table;
  tablesRead_ = true;
}

std::uint8_t Rar2Decoder::decodeAudio(int delta) {
  Audio& v = audio_[channel_];
  ++v.byteCount;
  v.d[3] = v.d[2];
  v.d[2] = v.d[1];
  v.d[1] = v.lastDelta - v.d[0];
  v.d[0] = v.lastDelta;
  const int predicted = ((8 * v.lastChar + v.k[0] * v.d[0] + v.k[1] * v.d[1] + v.k[2] * v.d[2] +
                          v.k[3] * v.d[3] + v.k[4] * channelDelta_) >>
                         3) &
                        0xFF;
  const int ch = predicted - delta;
  const int d = static_cast<signed char>(delta) * 8;
  const int terms[5] = {v.d[0], v.d[1], v.d[2], v.d[3], channelDelta_};
  v.dif[0] += static_cast<std::uint32_t>(std::abs(d));
  for (int i = 0; i < 5; ++i) {
    v.dif[1 + 2 * i] += static_cast<std::uint32_t>(std::abs(d - terms[i]));
    v.dif[2 + 2 * i] += static_cast<std::uint32_t>(std::abs(d + terms[i]));
  }
  channelDelta_ = v.lastDelta = static_cast<signed char>(ch - v.lastChar);
  v.lastChar = ch;
  if ((v.byteCount & 0x1F) == 0) {
    std::uint32_t minDif = v.dif[0];
    unsigned best = 0;
    v.dif[0] = 0;
    for (unsigned i = 1; i < 11; ++i) {
      if (v.dif[i] < minDif) {
        minDif = v.dif[i];
        best = i;
      }
      v.dif[i] = 0;
    }
    if (best != 0) {
      // Odd choices lower a coefficient, even ones raise it, each kept within [-17, 16].
      int& k = v.k[(best - 1) / 2];
      if (best % 2 == 1) {
        if (k >= -16)
          --k;
      } else if (k < 16) {
        ++k;
      }
    }
  }
  return static_cast<std::uint8_t>(ch);
}

void Rar2Decoder::copy(std::uint32_t length, std::uint64_t distance) {
  oldDist_[oldDistPtr_++ & 3] = distance;
  lastDist_ = distance;
  lastLength_ = length;
  window_.copyMatch(distance, length);
}

void Rar2Decoder::flush(bool final) {
  std::deque<LzFilter> none;
  window_.flush(none, false, final, [](const LzFilter&, std::vector<std::uint8_t>&) {});
}

void Rar2Decoder::decodeMember(BitReader& in, std::uint64_t size, MemberOutput& out) {
  window_.startMember(&out, size);
  if (!tablesRead_)
    readTables(in);
  while (!window_.memberDone()) {
    if (window_.pos() >= window_.flushLimit())
      flush(false);
    if (audioBlock_) {
      const std::uint32_t sym = audioTables_[channel_].decode(in);
      if (sym == 256) {
        readTables(in);
        continue;
      }
      window_.put(decodeAudio(static_cast<int>(sym)));
      if (++channel_ == channels_)
        channel_ = 0;
      continue;
    }
    std::uint32_t sym = main_.decode(in);
    if (sym < 256) {
      window_.put(static_cast<std::uint8_t>(sym));
    } else if (sym > 269) {
      sym -= 270;
      std::uint32_t length = kLengthBase[sym] + 3 + in.get(kLengthBits[sym]);
      const std::uint32_t slot = dist_.decode(in);
      const std::uint64_t distance = kDist.base[slot] + 1 + in.get(kDist.bits[slot]);
      if (distance >= 0x2000) {
        ++length;
        if (distance >= 0x40000)
          ++length;
      }
      copy(length, distance);
    } else if (sym == 269) {
      readTables(in);
    } else if (sym == 256) {
      copy(lastLength_, lastDist_);
    } else if (sym < 261) {
      const std::uint64_t distance = oldDist_[(oldDistPtr_ - (sym - 256)) & 3];
      const std::uint32_t ls = rep_.decode(in);
      std::uint32_t length = kLengthBase[ls] + 2 + in.get(kLengthBits[ls]);
      if (distance >= 0x101) {
        ++length;
        if (distance >= 0x2000) {
          ++length;
          if (distance >= 0x40000)
            ++length;
        }
      }
      copy(length, distance);
    } else {
      sym -= 261;
      copy(2, kShortBase[sym] + 1 + in.get(kShortBits[sym]));
    }
  }
  // In a solid archive the tables for the next member may follow this one's data.
  if (!in.consumedAll() && in.length() * 8 - in.bitPosition() >= 40) {
    try {
      const std::uint32_t sym = audioBlock_ ? audioTables_[channel_].decode(in) : main_.decode(in);
      if (sym == (audioBlock_ ? 256u : 269u))
        readTables(in);
    } catch (const Error&) {
    }
  }
  flush(true);
}

} // namespace kyv::unrar
