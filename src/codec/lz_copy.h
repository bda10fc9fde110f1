// Match copies of the LZ decoders: `length` bytes from `distance` bytes back. Overlapping copies
// (distance < length) repeat the pattern, as every LZ format intends, so no form may copy a byte
// before the one `distance` back of it has been written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kyv::codec {

inline void copyWord(std::uint8_t* dst, const std::uint8_t* src) {
  std::uint64_t v;
  std::memcpy(&v, src, 8);
  std::memcpy(dst, &v, 8);
}

// A flat window with kCopySlack writable bytes past the longest match: the copy may move whole
// 8-byte words and run up to 23 bytes past the match; those bytes are rewritten later. For
// distances under 8 a word would read bytes not yet written, so those advance by the distance
// (distance 1, a run of one byte, by words of that byte). distance >= 1, length >= 1.
inline constexpr std::size_t kCopySlack = 32;

inline void copyMatchWithSlack(std::uint8_t* dst, std::size_t distance, std::size_t length) {
  const std::uint8_t* src = dst - distance;
  std::uint8_t* const end = dst + length;
  if (distance >= 8) {
    // Most matches are short: three words without a test, then a loop for the rest.
    copyWord(dst, src);
    copyWord(dst + 8, src + 8);
    copyWord(dst + 16, src + 16);
    dst += 24;
    src += 24;
    while (dst < end) {
      copyWord(dst, src);
      dst += 8;
      src += 8;
    }
  } else if (distance == 1) {
    const std::uint64_t v = 0x0101010101010101ull * *src;
    do {
      std::memcpy(dst, &v, 8);
      dst += 8;
    } while (dst < end);
  } else {
    // 2 to 7 bytes back: each word read holds `distance` bytes already written followed by
    // bytes not yet written; stepping by `distance` makes every step's written part the next
    // step's source, so the pattern repeats correctly.
    do {
      copyWord(dst, src);
      dst += distance;
      src += distance;
    } while (dst < end);
  }
}

// A ring window of mask + 1 bytes (a power of two), writing exactly length bytes at pos
// (pos <= mask). Source and destination may both wrap around the end of the ring.
inline void copyMatchRing(std::uint8_t* w, std::size_t mask, std::size_t pos, std::size_t distance,
                          std::size_t length) {
  const std::size_t src = (pos - distance) & mask;
  if (src < pos && pos + length <= mask + 1 && distance >= 8) {
    // The source lies wholly behind the destination, at least a word back, so every piece reads
    // bytes already final. The last piece may overlap the one before it (it rewrites the same
    // values) instead of finishing byte by byte.
    std::uint8_t* d = w + pos;
    const std::uint8_t* s = w + src;
    if (length >= 8) {
      std::size_t n = length;
      for (; n >= 8; n -= 8, d += 8, s += 8)
        copyWord(d, s);
      if (n > 0)
        copyWord(d + n - 8, s + n - 8);
    } else if (length >= 4) {
      std::uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + length - 4, 4);
      std::memcpy(d, &a, 4);
      std::memcpy(d + length - 4, &b, 4);
    } else if (length > 0) {
      d[0] = s[0];
      d[length / 2] = s[length / 2];
      d[length - 1] = s[length - 1];
    }
    return;
  }
  if (src < pos && pos + length <= mask + 1) {
    // Closer than a word and neither side wraps: a run of one byte, or the pattern repeated
    // byte by byte.
    std::uint8_t* d = w + pos;
    const std::uint8_t* s = w + src;
    if (distance == 1) {
      std::memset(d, *s, length);
      return;
    }
    for (std::size_t n = length; n > 0; --n)
      *d++ = *s++;
    return;
  }
  for (std::size_t i = 0; i < length; ++i)
    w[(pos + i) & mask] = w[(src + i) & mask];
}

} // namespace kyv::codec
