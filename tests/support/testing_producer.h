// Test-only: a second, deliberately simple producer of database files, written straight from
// the format rules and sharing no code with the engine or the database tool, so the two check
// each other. The body is deflated as stored blocks only.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::engine::testing {

using Bytes = std::vector<std::uint8_t>;

inline void putLe(Bytes& out, std::uint64_t v, int width) {
  for (int k = 0; k < width; ++k)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
inline void putText(Bytes& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

struct ProducerHeader {
  std::string magic = "KYV";
  double stamp = 1.0;
  std::array<std::uint8_t, 6> minVersion{0x83, 0x33, 0x33, 0x33, 0x33, 0x03};
  std::int32_t recordCount = 0;
  std::uint8_t seed = 0x5A;
};

// Raw DEFLATE made of stored blocks of at most 65535 bytes; the last one is final.
inline Bytes storedDeflate(const Bytes& data) {
  Bytes out;
  std::size_t pos = 0;
  do {
    const std::size_t len = std::min<std::size_t>(65535, data.size() - pos);
    const bool last = pos + len == data.size();
    out.push_back(last ? 1 : 0); // BFINAL, BTYPE 00, padding to the byte boundary
    putLe(out, len, 2);
    putLe(out, ~len & 0xFFFF, 2);
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(pos),
               data.begin() + static_cast<std::ptrdiff_t>(pos + len));
    pos += len;
  } while (pos < data.size());
  return out;
}

// Stored byte for plain byte p at position i: inverse of "complement of (rotl2(b) xor t)".
inline std::uint8_t scramble(std::uint8_t p, std::int64_t i, std::uint8_t seed) {
  std::int64_t square = (i * i) % 4294967296LL;
  if (square >= 2147483648LL)
    square -= 4294967296LL;          // as a signed 32-bit product
  const std::int64_t h = square / 2; // C++ division truncates toward zero, as required
  const std::int64_t t = (((8 * i + h + 7 * seed + 335) % 256) + 256) % 256;
  const unsigned r = (~p ^ static_cast<unsigned>(t)) & 0xFF;
  return static_cast<std::uint8_t>(((r >> 2) | (r << 6)) & 0xFF);
}

// A whole stored file. deflated, when given, replaces the stored-block stream (for malformed
// streams); corruptChecksum writes a wrong checksum.
inline Bytes produce(const ProducerHeader& h, const Bytes& body, const Bytes* deflated = nullptr) {
  Bytes file;
  putText(file, h.magic.substr(0, 3));
  std::uint64_t stampBits = 0;
  std::memcpy(&stampBits, &h.stamp, 8);
  putLe(file, stampBits, 8);
  file.insert(file.end(), h.minVersion.begin(), h.minVersion.end());
  putLe(file, static_cast<std::uint32_t>(h.recordCount), 4);
  putLe(file, 0, 4); // checksum, filled last
  file.push_back(h.seed);
  putLe(file, 0, 4);
  const Bytes stream = deflated ? *deflated : storedDeflate(body);
  for (std::size_t k = 0; k < stream.size(); ++k)
    file.push_back(scramble(stream[k], static_cast<std::int64_t>(file.size()), h.seed));
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < file.size(); ++i)
    sum += i * file[i];
  const auto checksum = static_cast<std::uint32_t>(sum);
  for (int k = 0; k < 4; ++k)
    file[21 + k] = static_cast<std::uint8_t>(checksum >> (8 * k));
  return file;
}

// Descriptor record bytes, spelled out field by field by the caller.
struct Rec {
  Bytes bytes;
  Rec& u8(std::uint32_t v) {
    putLe(bytes, v, 1);
    return *this;
  }
  Rec& u16(std::uint32_t v) {
    putLe(bytes, v, 2);
    return *this;
  }
  Rec& u32(std::uint32_t v) {
    putLe(bytes, v, 4);
    return *this;
  }
  Rec& text(std::string_view t) {
    putText(bytes, t);
    return *this;
  }
};

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts)
    out.insert(out.end(), p.begin(), p.end());
  return out;
}

} // namespace kyv::engine::testing
