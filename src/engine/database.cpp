#include "engine/database.h"

#include <algorithm>

#include <bit>
#include <cmath>
#include <cstring>

#include "archive/ab_exception.h"
#include "archive/deflate_encoder.h"
#include "archive/inflate.h"
#include "base/byte_io.h"
#include "base/endian.h"

namespace kyv::engine {

double Real6::value() const {
  if (Bytes[0] == 0)
    return 0.0;
  std::uint64_t fraction = 0;
  for (int k = 5; k >= 1; --k)
    fraction = (fraction << 8) | Bytes[k];
  const bool negative = (fraction >> 39) & 1;
  fraction &= (std::uint64_t{1} << 39) - 1;
  // 1 + f / 2^39 has 40 significant bits, so the double is exact.
  const double mantissa = 1.0 + std::ldexp(static_cast<double>(fraction), -39);
  const double v = std::ldexp(mantissa, static_cast<int>(Bytes[0]) - 129);
  return negative ? -v : v;
}

Real6 Real6::fromDouble(double v) {
  Real6 r;
  if (v == 0.0 || std::isnan(v))
    return r;
  const bool negative = v < 0;
  int exp = 0;
  double m = std::frexp(std::fabs(v), &exp); // m in [0.5, 1)
  // value = 2m * 2^(exp-1) = (1 + f/2^39) * 2^(e-129)  =>  e = exp + 128
  double scaled = std::round((2.0 * m - 1.0) * std::ldexp(1.0, 39));
  if (scaled >= std::ldexp(1.0, 39)) { // rounding carried into the next power of two
    scaled = 0;
    ++exp;
  }
  int e = exp + 128;
  std::uint64_t fraction = static_cast<std::uint64_t>(scaled);
  if (e < 1)
    return r; // too small: zero
  if (e > 255) {
    e = 255;
    fraction = (std::uint64_t{1} << 39) - 1;
  }
  if (negative)
    fraction |= std::uint64_t{1} << 39;
  r.Bytes[0] = static_cast<std::uint8_t>(e);
  for (int k = 1; k <= 5; ++k)
    r.Bytes[k] = static_cast<std::uint8_t>(fraction >> (8 * (k - 1)));
  return r;
}

std::uint32_t WeightedSum(std::span<const std::byte> bytes) {
  std::uint32_t sum = 0;
  std::uint32_t i = 0;
  for (const std::byte b : bytes)
    sum += i++ * std::to_integer<std::uint32_t>(b);
  return sum;
}

DatabaseHeader ReadDatabaseHeader(std::span<const std::byte> image) {
  DatabaseHeader h;
  const std::byte* p = image.data();
  std::memcpy(h.Magic.data(), p + hdr::Magic, 3);
  const std::uint64_t stampBits = loadLe64(p + hdr::Stamp);
  h.Stamp = std::bit_cast<double>(stampBits);
  for (std::size_t k = 0; k < 6; ++k)
    h.MinVersion.Bytes[k] = std::to_integer<std::uint8_t>(p[hdr::MinVersion + k]);
  h.RecordCount = static_cast<std::int32_t>(loadLe32(p + hdr::RecordCount));
  h.Checksum = loadLe32(p + hdr::Checksum);
  h.Seed = std::to_integer<std::uint8_t>(p[hdr::Seed]);
  return h;
}

namespace {

// The key byte mixed into position i: (8i + h + 7*seed + 335) mod 256, with h the signed 32-bit
// product i*i (wrapping) halved toward zero. Only the low byte of the sum matters, so unsigned
// wrapping arithmetic gives the same byte as the signed original.
std::uint8_t keyByte(std::uint32_t i, std::uint8_t seed) {
  const auto square = static_cast<std::int32_t>(i * i);
  const std::int32_t h = square / 2;
  return static_cast<std::uint8_t>(8u * i + static_cast<std::uint32_t>(h) + 7u * seed + 335u);
}

} // namespace

std::uint8_t DescrambleByte(std::uint8_t stored, std::uint32_t i, std::uint8_t seed) {
  const std::uint8_t r = std::rotl(stored, 2);
  return static_cast<std::uint8_t>(~(r ^ keyByte(i, seed)));
}

std::uint8_t ScrambleByte(std::uint8_t plain, std::uint32_t i, std::uint8_t seed) {
  const auto r = static_cast<std::uint8_t>(static_cast<std::uint8_t>(~plain) ^ keyByte(i, seed));
  return std::rotr(r, 2);
}

bool DecodeDatabaseImage(std::vector<std::byte>& image) {
  const std::size_t n = image.size();
  if (n <= kHeaderSize)
    return false; // a raw DEFLATE stream has at least one block
  const std::uint32_t stored = loadLe32(image.data() + hdr::Checksum);
  storeLe32(image.data() + hdr::Checksum, 0);
  const auto seed = std::to_integer<std::uint8_t>(image[hdr::Seed]);

  std::uint32_t sum = 0;
  for (std::size_t i = kHeaderSize; i < n; ++i) {
    const auto b = std::to_integer<std::uint8_t>(image[i]);
    const auto pos = static_cast<std::uint32_t>(i);
    sum += pos * b;
    image[i] = static_cast<std::byte>(DescrambleByte(b, pos, seed));
  }
  sum += WeightedSum(std::span(image).first(kHeaderSize));
  if (sum != stored)
    return false;

  try {
    MemorySource in{std::span(image).subspan(kHeaderSize)};
    // The decoded image is built in place behind a copy of the header: the body is several
    // times the stored size (the unpack code's module), and copying it once more, or growing
    // it from nothing, costs a daemon's reload about as much as inflating it.
    VectorSink out(kHeaderSize + kMaxDecodedBody);
    out.bytes().reserve(kHeaderSize +
                        std::min<std::size_t>(kMaxDecodedBody, 4 * (n - kHeaderSize)));
    out.bytes().assign(image.begin(), image.begin() + kHeaderSize);
    archive::TAbDeflateHelper helper;
    archive::Inflate(in, out, &helper);
    image = std::move(out.bytes());
  } catch (const archive::EAbException&) {
    return false;
  }
  // Running out of memory is not damage: it goes up to the loader, which names it.
  return true;
}

std::vector<std::byte> EncodeDatabaseImage(const DatabaseFields& fields,
                                           std::span<const std::byte> body) {
  std::vector<std::byte> image(kHeaderSize);
  std::memcpy(image.data(), kMagic.data(), kMagic.size());
  storeLe32(image.data() + hdr::Stamp,
            static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(fields.Stamp)));
  storeLe32(image.data() + hdr::Stamp + 4,
            static_cast<std::uint32_t>(std::bit_cast<std::uint64_t>(fields.Stamp) >> 32));
  for (std::size_t k = 0; k < 6; ++k)
    image[hdr::MinVersion + k] = static_cast<std::byte>(fields.MinVersion.Bytes[k]);
  storeLe32(image.data() + hdr::RecordCount, static_cast<std::uint32_t>(fields.RecordCount));
  image[hdr::Seed] = static_cast<std::byte>(fields.Seed);

  const std::vector<std::byte> packed = archive::DeflateRaw(body);
  image.reserve(kHeaderSize + packed.size());
  for (std::size_t k = 0; k < packed.size(); ++k) {
    const auto pos = static_cast<std::uint32_t>(kHeaderSize + k);
    image.push_back(static_cast<std::byte>(
        ScrambleByte(std::to_integer<std::uint8_t>(packed[k]), pos, fields.Seed)));
  }
  // The checksum covers the stored file with its own four bytes counted as zero, so it goes last.
  storeLe32(image.data() + hdr::Checksum, WeightedSum(image));
  return image;
}

} // namespace kyv::engine
