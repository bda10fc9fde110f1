#include "archive/xz_format.h"

#include <algorithm>

#include "codec/checksum.h"

namespace kyv::archive {

namespace {

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

std::uint32_t crcOf(const std::uint8_t* p, std::size_t n) {
  return codec::crc32Update(0, std::as_bytes(std::span(p, n)));
}

std::optional<XzStreamFlags> parseFlags(const std::uint8_t* f) {
  if (f[0] != 0 || (f[1] & 0xF0) != 0)
    return std::nullopt;
  return XzStreamFlags{f[1] & 0x0Fu};
}

} // namespace

std::size_t xzCheckSize(unsigned checkType) {
  if (checkType == 0)
    return 0;
  return std::size_t{4} << ((checkType - 1) / 3);
}

std::optional<XzStreamFlags>
parseXzStreamHeader(std::span<const std::uint8_t, kXzStreamHeaderSize> h) {
  if (!std::equal(kXzMagic.begin(), kXzMagic.end(), h.begin()))
    return std::nullopt;
  if (crcOf(h.data() + 6, 2) != le32(h.data() + 8))
    return std::nullopt;
  return parseFlags(h.data() + 6);
}

std::optional<XzStreamFooter>
parseXzStreamFooter(std::span<const std::uint8_t, kXzStreamFooterSize> f) {
  if (f[10] != kXzFooterMagic[0] || f[11] != kXzFooterMagic[1])
    return std::nullopt;
  if (crcOf(f.data() + 4, 6) != le32(f.data()))
    return std::nullopt;
  const auto flags = parseFlags(f.data() + 8);
  if (!flags)
    return std::nullopt;
  return XzStreamFooter{*flags, (std::uint64_t{le32(f.data() + 4)} + 1) * 4};
}

std::optional<std::uint64_t> readXzVli(const std::uint8_t*& p, const std::uint8_t* end) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < 9; ++i) {
    if (p == end)
      return std::nullopt;
    const std::uint8_t b = *p++;
    v |= std::uint64_t{b & 0x7Fu} << (7 * i);
    if ((b & 0x80) == 0) {
      if (i > 0 && b == 0)
        return std::nullopt; // not the shortest form
      return v;
    }
  }
  return std::nullopt;
}

// Block header: size byte, flags (bits 0-1 filters - 1, bit 6 compressed size present, bit 7
// uncompressed size present, the rest reserved), the sizes, each filter's ID, property size and
// properties, zero padding, CRC-32 of everything before it.
std::optional<XzBlockHeader> parseXzBlockHeader(std::span<const std::uint8_t> h) {
  if (h.size() < 8 || h[0] == 0 || h.size() != (std::size_t{h[0]} + 1) * 4)
    return std::nullopt;
  const std::size_t body = h.size() - 4;
  if (crcOf(h.data(), body) != le32(h.data() + body))
    return std::nullopt;
  XzBlockHeader r;
  r.headerSize = h.size();
  const std::uint8_t flags = h[1];
  if ((flags & 0x3C) != 0)
    return std::nullopt;
  const std::uint8_t* p = h.data() + 2;
  const std::uint8_t* const end = h.data() + body;
  if (flags & 0x40) {
    const auto v = readXzVli(p, end);
    if (!v || *v == 0)
      return std::nullopt;
    r.compressedSize = *v;
  }
  if (flags & 0x80) {
    const auto v = readXzVli(p, end);
    if (!v)
      return std::nullopt;
    r.uncompressedSize = *v;
  }
  const unsigned filters = (flags & 3u) + 1;
  for (unsigned i = 0; i < filters; ++i) {
    const auto id = readXzVli(p, end);
    const auto size = id ? readXzVli(p, end) : std::nullopt;
    if (!size || *size > static_cast<std::uint64_t>(end - p))
      return std::nullopt;
    XzFilter f{*id, std::vector<std::uint8_t>(p, p + *size)};
    p += *size;
    r.filters.push_back(std::move(f));
  }
  if (std::any_of(p, end, [](std::uint8_t b) { return b != 0; }))
    return std::nullopt;
  return r;
}

} // namespace kyv::archive
