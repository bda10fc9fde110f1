// The SHA-2 compression function (FIPS 180-4), shared by SHA-256 and SHA-384/512: the two differ
// only in word size, round count, round constants and rotation amounts, which a traits type
// supplies as constants so that every rotation stays an immediate.
//   struct Traits {
//     using Word = std::uint32_t;              // or std::uint64_t
//     static constexpr std::size_t kRounds;    // 64 or 80
//     static constexpr std::array<Word, kRounds> kRound;
//     static constexpr unsigned kSmall0[3], kSmall1[3];  // two rotations and a shift (schedule)
//     static constexpr unsigned kBig0[3], kBig1[3];      // three rotations (rounds)
//   };
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kyv::codec {

template <class Word> constexpr Word sha2Rotr(Word x, unsigned n) {
  return (x >> n) | (x << (sizeof(Word) * 8 - n));
}

template <class Traits>
void sha2Compress(std::array<typename Traits::Word, 8>& state, const std::uint8_t* block) {
  using Word = typename Traits::Word;
  constexpr auto small = [](Word x, const unsigned(&s)[3]) {
    return sha2Rotr(x, s[0]) ^ sha2Rotr(x, s[1]) ^ (x >> s[2]);
  };
  constexpr auto big = [](Word x, const unsigned(&s)[3]) {
    return sha2Rotr(x, s[0]) ^ sha2Rotr(x, s[1]) ^ sha2Rotr(x, s[2]);
  };
  std::array<Word, Traits::kRounds> w;
  for (std::size_t t = 0; t < 16; ++t) {
    Word v = 0;
    for (std::size_t k = 0; k < sizeof(Word); ++k)
      v = static_cast<Word>(v << 8) | block[sizeof(Word) * t + k]; // big-endian words
    w[t] = v;
  }
  for (std::size_t t = 16; t < Traits::kRounds; ++t)
    w[t] =
        w[t - 16] + small(w[t - 15], Traits::kSmall0) + w[t - 7] + small(w[t - 2], Traits::kSmall1);
  Word a = state[0], b = state[1], c = state[2], d = state[3];
  Word e = state[4], f = state[5], g = state[6], h = state[7];
  for (std::size_t t = 0; t < Traits::kRounds; ++t) {
    const Word t1 = h + big(e, Traits::kBig1) + ((e & f) ^ (~e & g)) + Traits::kRound[t] + w[t];
    const Word t2 = big(a, Traits::kBig0) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

} // namespace kyv::codec
