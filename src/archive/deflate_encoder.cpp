#include "archive/deflate_encoder.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace kyv::archive {

namespace {

constexpr std::size_t kWindow = 32768;
constexpr std::size_t kMinMatch = 3;
constexpr std::size_t kMaxMatch = 258;
constexpr int kChainLimit = 64;
constexpr int kHashBits = 15;
// Input per block: small enough that the stored fallback (at most 65535 bytes per stored block)
// needs only one block, large enough that block headers cost nothing.
constexpr std::size_t kBlockInput = 65535;

constexpr std::array<std::uint16_t, 29> kLengthBase = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::array<std::uint8_t, 29> kLengthExtra = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::array<std::uint16_t, 30> kDistBase = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::array<std::uint8_t, 30> kDistExtra = {0, 0, 0,  0,  1,  1,  2,  2,  3,  3,
                                                     4, 4, 5,  5,  6,  6,  7,  7,  8,  8,
                                                     9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Writes bits least significant first, as Deflate packs them.
class BitWriter {
public:
  explicit BitWriter(std::vector<std::byte>& out) : out_(out) {}
  void put(std::uint32_t bits, int count) {
    buffer_ |= static_cast<std::uint64_t>(bits) << used_;
    used_ += count;
    while (used_ >= 8) {
      out_.push_back(static_cast<std::byte>(buffer_));
      buffer_ >>= 8;
      used_ -= 8;
    }
  }
  // Huffman codes are defined most significant bit first.
  void putCode(std::uint32_t code, int length) {
    std::uint32_t reversed = 0;
    for (int k = 0; k < length; ++k)
      reversed |= ((code >> k) & 1u) << (length - 1 - k);
    put(reversed, length);
  }
  void alignToByte() {
    if (used_ > 0)
      put(0, 8 - used_);
  }
  int pending() const { return used_; }

private:
  std::vector<std::byte>& out_;
  std::uint64_t buffer_ = 0;
  int used_ = 0;
};

// The fixed literal/length code (RFC 1951 3.2.6).
void putFixedLitLen(BitWriter& w, unsigned symbol) {
  if (symbol < 144)
    w.putCode(0x30 + symbol, 8);
  else if (symbol < 256)
    w.putCode(0x190 + (symbol - 144), 9);
  else if (symbol < 280)
    w.putCode(symbol - 256, 7);
  else
    w.putCode(0xC0 + (symbol - 280), 8);
}
int fixedLitLenBits(unsigned symbol) {
  return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}

unsigned lengthIndex(std::size_t length) {
  unsigned k = 28;
  while (kLengthBase[k] > length)
    --k;
  return k;
}
unsigned distIndex(std::size_t dist) {
  unsigned k = 29;
  while (kDistBase[k] > dist)
    --k;
  return k;
}

struct Token {
  std::uint16_t length; // 0 for a literal
  std::uint16_t value;  // literal byte or distance
};

class Matcher {
public:
  explicit Matcher(std::span<const std::byte> data)
      : data_(data), head_(std::size_t{1} << kHashBits, -1), prev_(kWindow, -1) {}

  // Greedy tokens for [begin, end); the hash chains cover everything before begin as well.
  void tokens(std::size_t begin, std::size_t end, std::vector<Token>& out) {
    std::size_t pos = begin;
    while (pos < end) {
      std::size_t bestLen = 0;
      std::size_t bestDist = 0;
      if (end - pos >= kMinMatch)
        findMatch(pos, end, bestLen, bestDist);
      if (bestLen >= kMinMatch) {
        out.push_back({static_cast<std::uint16_t>(bestLen), static_cast<std::uint16_t>(bestDist)});
        for (std::size_t k = 0; k < bestLen; ++k)
          insert(pos + k);
        pos += bestLen;
      } else {
        out.push_back({0, std::to_integer<std::uint16_t>(data_[pos])});
        insert(pos);
        ++pos;
      }
    }
  }

private:
  std::uint32_t hashAt(std::size_t pos) const {
    const std::uint32_t v = std::to_integer<std::uint32_t>(data_[pos]) |
                            (std::to_integer<std::uint32_t>(data_[pos + 1]) << 8) |
                            (std::to_integer<std::uint32_t>(data_[pos + 2]) << 16);
    return (v * 2654435761u) >> (32 - kHashBits);
  }
  void insert(std::size_t pos) {
    if (data_.size() - pos < kMinMatch)
      return;
    const std::uint32_t h = hashAt(pos);
    prev_[pos % kWindow] = head_[h];
    head_[h] = static_cast<std::int64_t>(pos);
  }
  void findMatch(std::size_t pos, std::size_t end, std::size_t& bestLen,
                 std::size_t& bestDist) const {
    const std::size_t maxLen = std::min(kMaxMatch, end - pos);
    std::int64_t cand = head_[hashAt(pos)];
    for (int chain = 0; chain < kChainLimit && cand >= 0; ++chain) {
      const auto c = static_cast<std::size_t>(cand);
      if (pos - c > kWindow - 1 || c >= pos)
        break;
      std::size_t len = 0;
      while (len < maxLen && data_[c + len] == data_[pos + len])
        ++len;
      if (len > bestLen) {
        bestLen = len;
        bestDist = pos - c;
        if (len == maxLen)
          break;
      }
      const std::int64_t next = prev_[c % kWindow];
      if (next >= cand)
        break; // the slot was reused by a newer position: the chain ends here
      cand = next;
    }
  }

  std::span<const std::byte> data_;
  std::vector<std::int64_t> head_;
  std::vector<std::int64_t> prev_;
};

std::size_t fixedCostBits(const std::vector<Token>& tokens) {
  std::size_t bits = 3 + 7; // header and end of block
  for (const Token& t : tokens) {
    if (t.length == 0) {
      bits += static_cast<std::size_t>(fixedLitLenBits(t.value));
    } else {
      const unsigned li = lengthIndex(t.length);
      bits += static_cast<std::size_t>(fixedLitLenBits(257 + li)) + kLengthExtra[li] + 5 +
              kDistExtra[distIndex(t.value)];
    }
  }
  return bits;
}

void writeFixedBlock(BitWriter& w, const std::vector<Token>& tokens, bool final) {
  w.put(final ? 1 : 0, 1);
  w.put(1, 2); // BTYPE 01: fixed Huffman codes
  for (const Token& t : tokens) {
    if (t.length == 0) {
      putFixedLitLen(w, t.value);
      continue;
    }
    const unsigned li = lengthIndex(t.length);
    putFixedLitLen(w, 257 + li);
    if (kLengthExtra[li] != 0)
      w.put(t.length - kLengthBase[li], kLengthExtra[li]);
    const unsigned di = distIndex(t.value);
    w.putCode(di, 5);
    if (kDistExtra[di] != 0)
      w.put(t.value - kDistBase[di], kDistExtra[di]);
  }
  putFixedLitLen(w, 256);
}

void writeStoredBlock(BitWriter& w, std::vector<std::byte>& out, std::span<const std::byte> bytes,
                      bool final) {
  w.put(final ? 1 : 0, 1);
  w.put(0, 2); // BTYPE 00: stored
  w.alignToByte();
  const auto len = static_cast<std::uint16_t>(bytes.size());
  w.put(len, 16);
  w.put(static_cast<std::uint16_t>(~len), 16);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

} // namespace

std::vector<std::byte> DeflateRaw(std::span<const std::byte> data) {
  std::vector<std::byte> out;
  out.reserve(data.size() / 2 + 64);
  BitWriter w(out);
  Matcher matcher(data);
  std::vector<Token> tokens;
  std::size_t begin = 0;
  do {
    const std::size_t end = std::min(data.size(), begin + kBlockInput);
    const bool final = end == data.size();
    tokens.clear();
    matcher.tokens(begin, end, tokens);
    // A stored block costs its bytes plus header, padding and the two length fields.
    const std::size_t storedBits = 3 + 7 + 32 + 8 * (end - begin);
    if (fixedCostBits(tokens) <= storedBits)
      writeFixedBlock(w, tokens, final);
    else
      writeStoredBlock(w, out, data.subspan(begin, end - begin), final);
    begin = end;
  } while (begin < data.size());
  w.alignToByte();
  return out;
}

} // namespace kyv::archive
