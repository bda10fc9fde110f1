// Archives whose first member is a payload and whose rest is a long run of zeros, made without
// holding the zeros: the padding a hostile sender puts after a payload so that the scan's budget
// runs out on the way. Built after the published formats (POSIX ustar, RFC 1951, RFC 1952).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/checksum.h"

namespace kyv::test {

// A ustar header block for a regular file of size bytes.
inline std::vector<std::byte> ustarHeader(const std::string& name, std::uint64_t size) {
  std::vector<std::byte> h(512);
  auto put = [&](std::size_t at, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i)
      h[at + i] = static_cast<std::byte>(text[i]);
  };
  auto octal = [](std::uint64_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llo", digits, static_cast<unsigned long long>(v));
    return std::string(buf);
  };
  put(0, name);
  put(100, octal(0644, 7));
  put(108, octal(0, 7));
  put(116, octal(0, 7));
  put(124, octal(size, 11));
  put(136, octal(0, 11));
  put(148, "        "); // the checksum counts its own field as blanks
  put(156, "0");
  put(257, std::string("ustar\0"
                       "00",
                       8));
  unsigned sum = 0;
  for (const std::byte b : h)
    sum += std::to_integer<unsigned>(b);
  put(148, octal(sum, 6));
  h[154] = std::byte{0};
  h[155] = std::byte{' '};
  return h;
}

// A deflate stream written bit by bit, least significant bit first; Huffman codes go most
// significant bit first, as the format stores them.
class DeflateBits {
public:
  void bits(std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i)
      bit((value >> i) & 1);
  }
  void code(std::uint32_t value, int length) {
    for (int i = length - 1; i >= 0; --i)
      bit((value >> i) & 1);
  }
  void align() {
    while (used_ != 0)
      bit(0);
  }
  void bytes(const std::vector<std::byte>& data) {
    out_.insert(out_.end(), data.begin(), data.end());
  }
  std::vector<std::byte>& out() { return out_; }

private:
  void bit(std::uint32_t b) {
    if (used_ == 0)
      out_.push_back(std::byte{0});
    out_.back() |= static_cast<std::byte>(b << used_);
    used_ = (used_ + 1) % 8;
  }
  std::vector<std::byte> out_;
  int used_ = 0;
};

// A gzip file of head (stored) followed by zeros zero bytes: one fixed-Huffman block of a
// literal 0 and then matches of 258 at distance 1, 13 bits for every 258 bytes.
inline std::vector<std::byte> gzipOfHeadAndZeros(const std::vector<std::byte>& head,
                                                 std::uint64_t zeros) {
  DeflateBits d;
  for (const unsigned b : {0x1Fu, 0x8Bu, 8u, 0u, 0u, 0u, 0u, 0u, 0u, 3u})
    d.out().push_back(static_cast<std::byte>(b));
  std::uint32_t crc = 0;
  for (std::size_t at = 0; at < head.size(); at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, head.size() - at);
    d.bits(0, 1); // BFINAL 0
    d.bits(0, 2); // BTYPE 00: stored
    d.align();
    d.bits(static_cast<std::uint32_t>(n), 16);
    d.bits(static_cast<std::uint32_t>(~n & 0xFFFF), 16);
    d.bytes({head.begin() + static_cast<std::ptrdiff_t>(at),
             head.begin() + static_cast<std::ptrdiff_t>(at + n)});
    crc = codec::crc32Update(crc, std::span(head).subspan(at, n));
  }
  d.bits(1, 1); // BFINAL 1
  d.bits(1, 2); // BTYPE 01: fixed Huffman codes
  std::uint64_t left = zeros;
  const auto literalZero = [&] { d.code(0x30, 8); }; // literals 0-143: 0x30 + value, 8 bits
  if (left > 0) {
    literalZero();
    --left;
  }
  for (; left >= 258; left -= 258) {
    d.code(0xC0 + (285 - 280), 8); // length code 285: 258, no extra bits
    d.code(0, 5);                  // distance code 0: distance 1
  }
  for (; left > 0; --left)
    literalZero();
  d.code(0, 7); // end of block (256)
  d.align();
  const std::array<std::byte, 65536> zero{};
  for (std::uint64_t done = 0; done < zeros;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(zero.size(), zeros - done));
    crc = codec::crc32Update(crc, std::span(zero).first(n));
    done += n;
  }
  const std::uint64_t total = head.size() + zeros;
  d.bits(crc, 32);
  d.bits(static_cast<std::uint32_t>(total), 32);
  return d.out();
}

// A tar.gz whose first member is payload, followed by a member of padding zero bytes.
inline std::vector<std::byte> tarGzPayloadThenZeros(const std::string& name,
                                                    const std::vector<std::byte>& payload,
                                                    std::uint64_t padding) {
  std::vector<std::byte> head = ustarHeader(name, payload.size());
  head.insert(head.end(), payload.begin(), payload.end());
  head.resize((head.size() + 511) / 512 * 512);
  const auto second = ustarHeader("padding.bin", padding);
  head.insert(head.end(), second.begin(), second.end());
  // The padding's own bytes, rounded up to whole blocks, and the two zero blocks that end the
  // archive.
  return gzipOfHeadAndZeros(head, (padding + 511) / 512 * 512 + 1024);
}

} // namespace kyv::test
