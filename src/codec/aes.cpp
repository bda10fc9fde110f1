#include "codec/aes.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace kyv::codec {

namespace {

using u8 = std::uint8_t;

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

// The substitution box, built as FIPS 197 defines it (the multiplicative inverse followed by the
// affine transformation), and the products the column mixing needs, all at compile time.
struct Tables {
  std::array<u8, 256> sbox{}, inverse{}, m2{}, m3{}, m9{}, m11{}, m13{}, m14{};
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
      const u8 s = static_cast<u8>(inv ^ rotl8(inv, 1) ^ rotl8(inv, 2) ^ rotl8(inv, 3) ^ rotl8(inv, 4) ^ 0x63);
      sbox[x] = s;
      inverse[s] = static_cast<u8>(x);
      const u8 b = static_cast<u8>(x);
      m2[x] = gmul(b, 2);
      m3[x] = gmul(b, 3);
      m9[x] = gmul(b, 9);
      m11[x] = gmul(b, 11);
      m13[x] = gmul(b, 13);
      m14[x] = gmul(b, 14);
    }
  }
};

constexpr Tables kT{};

void addRoundKey(u8* s, const u8* key) {
  for (int i = 0; i < 16; ++i)
    s[i] ^= key[i];
}

// The state is column by column: byte (row r, column c) at 4 c + r.
void subShift(u8* s) {
  u8 t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      t[4 * c + r] = kT.sbox[s[4 * ((c + r) % 4) + r]];
  std::copy(t, t + 16, s);
}

void invShiftSub(u8* s) {
  u8 t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r)
      t[4 * ((c + r) % 4) + r] = kT.inverse[s[4 * c + r]];
  std::copy(t, t + 16, s);
}

void mixColumns(u8* s) {
  for (int c = 0; c < 4; ++c) {
    u8* col = s + 4 * c;
    const u8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = kT.m2[a0] ^ kT.m3[a1] ^ a2 ^ a3;
    col[1] = a0 ^ kT.m2[a1] ^ kT.m3[a2] ^ a3;
    col[2] = a0 ^ a1 ^ kT.m2[a2] ^ kT.m3[a3];
    col[3] = kT.m3[a0] ^ a1 ^ a2 ^ kT.m2[a3];
  }
}

void invMixColumns(u8* s) {
  for (int c = 0; c < 4; ++c) {
    u8* col = s + 4 * c;
    const u8 a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
    col[0] = kT.m14[a0] ^ kT.m11[a1] ^ kT.m13[a2] ^ kT.m9[a3];
    col[1] = kT.m9[a0] ^ kT.m14[a1] ^ kT.m11[a2] ^ kT.m13[a3];
    col[2] = kT.m13[a0] ^ kT.m9[a1] ^ kT.m14[a2] ^ kT.m11[a3];
    col[3] = kT.m11[a0] ^ kT.m13[a1] ^ kT.m9[a2] ^ kT.m14[a3];
  }
}

} // namespace

Aes::Aes(std::span<const std::uint8_t> key) {
  const std::size_t nk = key.size() / 4;
  if (key.size() != 16 && key.size() != 24 && key.size() != 32)
    throw std::invalid_argument("AES key of " + std::to_string(key.size()) + " bytes");
  rounds_ = static_cast<int>(nk) + 6;
  // Key expansion, a 4-byte word at a time.
  const std::size_t words = 4 * static_cast<std::size_t>(rounds_ + 1);
  std::copy(key.begin(), key.end(), roundKeys_.begin());
  u8 rcon = 1;
  for (std::size_t i = nk; i < words; ++i) {
    u8 t[4];
    std::copy_n(roundKeys_.begin() + 4 * (i - 1), 4, t);
    if (i % nk == 0) {
      const u8 first = t[0];
      t[0] = static_cast<u8>(kT.sbox[t[1]] ^ rcon);
      t[1] = kT.sbox[t[2]];
      t[2] = kT.sbox[t[3]];
      t[3] = kT.sbox[first];
      rcon = xtime(rcon);
    } else if (nk > 6 && i % nk == 4) {
      for (u8& b : t)
        b = kT.sbox[b];
    }
    for (int k = 0; k < 4; ++k)
      roundKeys_[4 * i + k] = static_cast<u8>(roundKeys_[4 * (i - nk) + k] ^ t[k]);
  }
}

void Aes::encryptBlock(std::uint8_t* s) const {
  addRoundKey(s, roundKeys_.data());
  for (int r = 1; r < rounds_; ++r) {
    subShift(s);
    mixColumns(s);
    addRoundKey(s, roundKeys_.data() + 16 * r);
  }
  subShift(s);
  addRoundKey(s, roundKeys_.data() + 16 * rounds_);
}

void Aes::decryptBlock(std::uint8_t* s) const {
  addRoundKey(s, roundKeys_.data() + 16 * rounds_);
  for (int r = rounds_ - 1; r >= 1; --r) {
    invShiftSub(s);
    addRoundKey(s, roundKeys_.data() + 16 * r);
    invMixColumns(s);
  }
  invShiftSub(s);
  addRoundKey(s, roundKeys_.data());
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
