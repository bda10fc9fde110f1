#include "unrar/blake2sp.h"

#include <cstring>

namespace kyv::unrar {
namespace {

constexpr std::array<std::uint32_t, 8> kIv{0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                           0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr std::uint8_t kSigma[10][16] = {{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
                                         {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
                                         {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
                                         {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
                                         {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
                                         {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
                                         {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
                                         {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
                                         {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
                                         {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0}};

constexpr std::uint32_t rotr(std::uint32_t x, unsigned n) { return (x >> n) | (x << (32 - n)); }

} // namespace

void Blake2sp::State::init(std::uint32_t nodeOffset, std::uint32_t nodeDepth, bool last) {
  // Parameter block: digest 32, no key, fanout 8, depth 2, leaf length 0, node offset, node
  // depth, inner length 32.
  h = kIv;
  h[0] ^= 32u | (8u << 16) | (2u << 24);
  h[2] ^= nodeOffset;
  h[3] ^= (nodeDepth << 16) | (32u << 24);
  count = 0;
  bufLen = 0;
  lastNode = last;
}

void Blake2sp::State::compress(const std::uint8_t* block, bool final) {
  std::uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = block[4 * i] | (block[4 * i + 1] << 8) | (block[4 * i + 2] << 16) |
           (static_cast<std::uint32_t>(block[4 * i + 3]) << 24);
  std::uint32_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h[static_cast<std::size_t>(i)];
    v[i + 8] = kIv[static_cast<std::size_t>(i)];
  }
  v[12] ^= static_cast<std::uint32_t>(count);
  v[13] ^= static_cast<std::uint32_t>(count >> 32);
  if (final) {
    v[14] = ~v[14];
    if (lastNode)
      v[15] = ~v[15];
  }
  auto g = [&v](int a, int b, int c, int d, std::uint32_t x, std::uint32_t y) {
    v[a] = v[a] + v[b] + x;
    v[d] = rotr(v[d] ^ v[a], 16);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 12);
    v[a] = v[a] + v[b] + y;
    v[d] = rotr(v[d] ^ v[a], 8);
    v[c] = v[c] + v[d];
    v[b] = rotr(v[b] ^ v[c], 7);
  };
  for (const auto& s : kSigma) {
    g(0, 4, 8, 12, m[s[0]], m[s[1]]);
    g(1, 5, 9, 13, m[s[2]], m[s[3]]);
    g(2, 6, 10, 14, m[s[4]], m[s[5]]);
    g(3, 7, 11, 15, m[s[6]], m[s[7]]);
    g(0, 5, 10, 15, m[s[8]], m[s[9]]);
    g(1, 6, 11, 12, m[s[10]], m[s[11]]);
    g(2, 7, 8, 13, m[s[12]], m[s[13]]);
    g(3, 4, 9, 14, m[s[14]], m[s[15]]);
  }
  for (int i = 0; i < 8; ++i)
    h[static_cast<std::size_t>(i)] ^= v[i] ^ v[i + 8];
}

void Blake2sp::State::update(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    // A full buffer is compressed only once more input shows it is not the last block.
    if (bufLen == 64) {
      count += 64;
      compress(buf.data(), false);
      bufLen = 0;
    }
    const std::size_t take = std::min(n, 64 - bufLen);
    std::memcpy(buf.data() + bufLen, p, take);
    bufLen += take;
    p += take;
    n -= take;
  }
}

std::array<std::uint8_t, 32> Blake2sp::State::finish() {
  count += bufLen;
  std::memset(buf.data() + bufLen, 0, 64 - bufLen);
  compress(buf.data(), true);
  std::array<std::uint8_t, 32> out{};
  for (std::size_t i = 0; i < 8; ++i)
    for (std::size_t k = 0; k < 4; ++k)
      out[4 * i + k] = static_cast<std::uint8_t>(h[i] >> (8 * k));
  return out;
}

Blake2sp::Blake2sp() {
  for (std::uint32_t i = 0; i < 8; ++i)
    leaves_[i].init(i, 0, i == 7);
  root_.init(0, 1, true);
}

void Blake2sp::update(std::span<const std::byte> data) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
  std::size_t n = data.size();
  while (n > 0) {
    const std::size_t leaf = static_cast<std::size_t>((total_ / 64) % 8);
    const std::size_t take = std::min<std::size_t>(n, 64 - static_cast<std::size_t>(total_ % 64));
    leaves_[leaf].update(p, take);
    total_ += take;
    p += take;
    n -= take;
  }
}

std::array<std::uint8_t, 32> Blake2sp::finish() {
  for (auto& leaf : leaves_) {
    const auto digest = leaf.finish();
    root_.update(digest.data(), digest.size());
  }
  return root_.finish();
}

} // namespace kyv::unrar
