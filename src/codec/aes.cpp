#include "codec/aes.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kyv::codec {

namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;

constexpr u8 xtime(u8 x) { return static_cast<u8>((x << 1) ^ ((x & 0x80) != 0 ? 0x1b : 0)); }

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
constexpr u8 gmul(u8 a, u8 b) {
  u8 p = 0;
  for (; b != 0; b >>= 1, a = xtime(a))
    if ((b & 1) != 0)
      p ^= a;
  return p;
}

constexpr u8 rotl8(u8 x, int n) { return static_cast<u8>((x << n) | (x >> (8 - n))); }
constexpr u32 rotl(u32 x, int n) { return (x << n) | (x >> (32 - n)); }

constexpr u32 word(u8 b0, u8 b1, u8 b2, u8 b3) {
  return u32{b0} | (u32{b1} << 8) | (u32{b2} << 16) | (u32{b3} << 24);
}

// The substitution box, built as FIPS 197 defines it (the multiplicative inverse followed by the
// affine transformation), and the round tables at compile time: enc[x] is what byte x of row 0
// adds to a column after substitution and column mixing (the other rows are the same word
// rotated), dec[x] the same for the inverse steps.
struct Tables {
  std::array<u8, 256> sbox{}, inverse{};
  std::array<u32, 256> enc{}, dec{};
  constexpr Tables() {
    // Powers of the generator 3 and their logarithms give the inverses cheaply.
    std::array<u8, 256> power{}, log{};
    u8 p = 1;
    for (int k = 0; k < 255; ++k) {
      power[k] = p;
      log[p] = static_cast<u8>(k);
      p = static_cast<u8>(p ^ xtime(p));
    }
    for (int x = 0; x < 256; ++x) {
      const u8 inv = x == 0 ? 0 : power[(255 - log[x]) % 255];
      const u8 s = static_cast<u8>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^
                                   rotl8(inv, 4) ^ 0x63);
      sbox[x] = s;
      inverse[s] = static_cast<u8>(x);
    }
    for (int x = 0; x < 256; ++x) {
      const u8 s = sbox[x];
      enc[x] = word(gmul(s, 2), s, s, gmul(s, 3));
      const u8 v = inverse[x];
      dec[x] = word(gmul(v, 14), gmul(v, 9), gmul(v, 13), gmul(v, 11));
    }
  }
};

constexpr Tables kT{};

constexpr u8 byteOf(u32 w, int row) { return static_cast<u8>(w >> (8 * row)); }

u32 load(const u8* p) { return word(p[0], p[1], p[2], p[3]); }
void store(u32 w, u8* p) {
  for (int k = 0; k < 4; ++k)
    p[k] = byteOf(w, k);
}

// The inverse column mixing of one round key word (the substitution undone first, since the
// table includes the inverse one).
u32 invMix(u32 w) {
  return kT.dec[kT.sbox[byteOf(w, 0)]] ^ rotl(kT.dec[kT.sbox[byteOf(w, 1)]], 8) ^
         rotl(kT.dec[kT.sbox[byteOf(w, 2)]], 16) ^ rotl(kT.dec[kT.sbox[byteOf(w, 3)]], 24);
}

} // namespace

Aes::Aes(std::span<const std::uint8_t> key) {
  if (key.size() != 16 && key.size() != 24 && key.size() != 32)
    throw std::invalid_argument("AES key of " + std::to_string(key.size()) + " bytes");
  const std::size_t nk = key.size() / 4;
  rounds_ = static_cast<int>(nk) + 6;
  const std::size_t words = 4 * static_cast<std::size_t>(rounds_ + 1);
  for (std::size_t i = 0; i < nk; ++i)
    encryptKeys_[i] = load(key.data() + 4 * i);
  u8 rcon = 1;
  for (std::size_t i = nk; i < words; ++i) {
    u32 t = encryptKeys_[i - 1];
    if (i % nk == 0) {
      // RotWord, SubWord and the round constant.
      t = word(static_cast<u8>(kT.sbox[byteOf(t, 1)] ^ rcon), kT.sbox[byteOf(t, 2)],
               kT.sbox[byteOf(t, 3)], kT.sbox[byteOf(t, 0)]);
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      t = word(kT.sbox[byteOf(t, 0)], kT.sbox[byteOf(t, 1)], kT.sbox[byteOf(t, 2)],
               kT.sbox[byteOf(t, 3)]);
    }
    encryptKeys_[i] = encryptKeys_[i - nk] ^ t;
  }
  // The equivalent inverse cipher's keys: in reverse order, mixed for the inner rounds.
  for (int r = 0; r <= rounds_; ++r)
    for (int c = 0; c < 4; ++c) {
      const u32 w = encryptKeys_[4 * (rounds_ - r) + c];
      decryptKeys_[4 * r + c] = r == 0 || r == rounds_ ? w : invMix(w);
    }
}

namespace {

// One block through all rounds. Each inner round makes a column of four lookups, one per row; the
// row shift picks the column each row's byte comes from: c + r for encryption (step 1), c - r for
// decryption (step 3, modulo 4). The loops over columns have constant bounds and unroll.
template <unsigned kStep>
void runRounds(const u32* k, int rounds, const std::array<u32, 256>& table,
               const std::array<u8, 256>& last, u8* block) {
  constexpr auto from = [](unsigned c, unsigned row) { return (c + kStep * row) & 3; };
  std::array<u32, 4> s;
#pragma GCC unroll 4
  for (unsigned c = 0; c < 4; ++c)
    s[c] = load(block + 4 * c) ^ k[c];
  for (int r = 1; r < rounds; ++r) {
    k += 4;
    std::array<u32, 4> t;
#pragma GCC unroll 4
    for (unsigned c = 0; c < 4; ++c)
      t[c] = table[byteOf(s[c], 0)] ^ rotl(table[byteOf(s[from(c, 1)], 1)], 8) ^
             rotl(table[byteOf(s[from(c, 2)], 2)], 16) ^ rotl(table[byteOf(s[from(c, 3)], 3)], 24) ^
             k[c];
    s = t;
  }
  k += 4;
#pragma GCC unroll 4
  for (unsigned c = 0; c < 4; ++c)
    store(word(last[byteOf(s[c], 0)], last[byteOf(s[from(c, 1)], 1)],
               last[byteOf(s[from(c, 2)], 2)], last[byteOf(s[from(c, 3)], 3)]) ^
              k[c],
          block + 4 * c);
}

} // namespace

void Aes::encryptBlock(std::uint8_t* block) const {
  runRounds<1>(encryptKeys_.data(), rounds_, kT.enc, kT.sbox, block);
}

void Aes::decryptBlock(std::uint8_t* block) const {
  runRounds<3>(decryptKeys_.data(), rounds_, kT.dec, kT.inverse, block);
}

void Aes::cbcEncrypt(std::array<std::uint8_t, kBlock>& iv, std::span<std::byte> data) const {
  for (std::size_t at = 0; at + kBlock <= data.size(); at += kBlock) {
    auto* block = reinterpret_cast<u8*>(data.data() + at);
    for (std::size_t i = 0; i < kBlock; ++i)
      block[i] ^= iv[i];
    encryptBlock(block);
    std::copy_n(block, kBlock, iv.begin());
  }
}

void Aes::cbcDecrypt(std::array<std::uint8_t, kBlock>& iv, std::span<std::byte> data) const {
  for (std::size_t at = 0; at + kBlock <= data.size(); at += kBlock) {
    auto* block = reinterpret_cast<u8*>(data.data() + at);
    std::array<u8, kBlock> cipher;
    std::copy_n(block, kBlock, cipher.begin());
    decryptBlock(block);
    for (std::size_t i = 0; i < kBlock; ++i)
      block[i] ^= iv[i];
    iv = cipher;
  }
}

} // namespace kyv::codec
