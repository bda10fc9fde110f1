#include "archive/cpio_format.h"

#include <array>
#include <cstring>
#include <vector>

#include "archive/ab_exception.h"

namespace kyv::archive {

namespace {

// Field places of the two text forms: (offset, width).
struct Field {
  std::size_t off, len;
};
namespace Newc {
inline constexpr Field Mode{14, 8}, Links{38, 8}, Size{54, 8}, NameSize{94, 8}, Check{102, 8};
}
namespace Odc {
inline constexpr Field Mode{18, 6}, Links{36, 6}, NameSize{59, 6}, Size{65, 11};
}
// Word places of the binary form.
namespace Bin {
inline constexpr std::size_t Mode = 3, Links = 6, NameSize = 10, SizeHigh = 11, SizeLow = 12;
}

int digitValue(std::byte b, unsigned base) {
  const auto c = std::to_integer<char>(b);
  int v = -1;
  if (c >= '0' && c <= '9')
    v = c - '0';
  else if (c >= 'a' && c <= 'f')
    v = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

// A field of digits only; empty for any other byte.
std::optional<std::uint64_t> number(std::span<const std::byte> header, Field f, unsigned base) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < f.len; ++i) {
    const int d = digitValue(header[f.off + i], base);
    if (d < 0)
      return std::nullopt;
    v = v * base + static_cast<unsigned>(d);
  }
  return v;
}

bool allDigits(std::span<const std::byte> header, std::size_t from, unsigned base) {
  for (std::size_t i = from; i < header.size(); ++i)
    if (digitValue(header[i], base) < 0)
      return false;
  return true;
}

std::uint32_t word(std::span<const std::byte> header, std::size_t index, bool swapped) {
  const auto a = std::to_integer<std::uint32_t>(header[2 * index]);
  const auto b = std::to_integer<std::uint32_t>(header[2 * index + 1]);
  return swapped ? (a << 8) | b : a | (b << 8);
}

std::optional<CpioKind> kindOf(std::span<const std::byte> b) {
  if (b.size() >= 6 && std::memcmp(b.data(), "07070", 5) == 0) {
    switch (std::to_integer<char>(b[5])) {
    case '1':
      return CpioKind::Newc;
    case '2':
      return CpioKind::Crc;
    case '7':
      return CpioKind::Odc;
    default:
      return std::nullopt;
    }
  }
  if (b.size() >= 2) {
    if (b[0] == std::byte{0xC7} && b[1] == std::byte{0x71})
      return CpioKind::Binary; // little-endian writer
    if (b[0] == std::byte{0x71} && b[1] == std::byte{0xC7})
      return CpioKind::BinarySwapped;
  }
  return std::nullopt;
}

std::size_t headerSize(CpioKind kind) {
  switch (kind) {
  case CpioKind::Newc:
  case CpioKind::Crc:
    return kCpioAsciiHeader;
  case CpioKind::Odc:
    return kCpioOdcHeader;
  default:
    return kCpioBinaryHeader;
  }
}

std::uint64_t alignUp(std::uint64_t v, std::uint64_t to) { return v + (to - v % to) % to; }

struct Fields {
  std::uint64_t mode = 0, links = 0, size = 0, nameSize = 0, check = 0;
};

// The header's fields, or empty when one is not a number of its form.
std::optional<Fields> parse(CpioKind kind, std::span<const std::byte> h) {
  Fields f;
  if (kind == CpioKind::Newc || kind == CpioKind::Crc) {
    if (!allDigits(h, 6, 16))
      return std::nullopt;
    f.mode = *number(h, Newc::Mode, 16);
    f.links = *number(h, Newc::Links, 16);
    f.size = *number(h, Newc::Size, 16);
    f.nameSize = *number(h, Newc::NameSize, 16);
    f.check = *number(h, Newc::Check, 16);
  } else if (kind == CpioKind::Odc) {
    if (!allDigits(h, 6, 8))
      return std::nullopt;
    f.mode = *number(h, Odc::Mode, 8);
    f.links = *number(h, Odc::Links, 8);
    f.nameSize = *number(h, Odc::NameSize, 8);
    f.size = *number(h, Odc::Size, 8);
  } else {
    const bool swapped = kind == CpioKind::BinarySwapped;
    f.mode = word(h, Bin::Mode, swapped);
    f.links = word(h, Bin::Links, swapped);
    f.nameSize = word(h, Bin::NameSize, swapped);
    f.size =
        (std::uint64_t{word(h, Bin::SizeHigh, swapped)} << 16) | word(h, Bin::SizeLow, swapped);
  }
  if (f.nameSize == 0 || f.nameSize > kCpioMaxName)
    return std::nullopt;
  return f;
}

} // namespace

std::optional<CpioKind> probeCpio(std::span<const std::byte> bytes) {
  const std::optional<CpioKind> kind = kindOf(bytes);
  if (!kind || bytes.size() < headerSize(*kind))
    return std::nullopt;
  const std::size_t size = headerSize(*kind);
  const std::optional<Fields> f = parse(*kind, bytes.first(size));
  if (!f)
    return std::nullopt;
  // Where the bytes reach the name's end, it ends with its NUL.
  if (f->nameSize <= bytes.size() - size && bytes[size + f->nameSize - 1] != std::byte{0})
    return std::nullopt;
  return kind;
}

std::optional<CpioEntry> readCpioEntry(ByteSource& source, std::uint64_t offset) {
  const std::uint64_t total = source.size();
  if (offset >= total)
    return std::nullopt;
  std::array<std::byte, kCpioAsciiHeader> buffer{};
  const auto available =
      static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), total - offset));
  const auto head = std::span(buffer).first(available);
  if (!source.seek(offset) || !source.readExact(head))
    throw EAbException("Stream read error");
  const std::optional<CpioKind> kind = kindOf(head);
  if (!kind)
    throw EAbException("Invalid cpio header");
  const std::size_t size = headerSize(*kind);
  if (available < size)
    throw EAbException("Truncated cpio header");
  const std::optional<Fields> f = parse(*kind, head.first(size));
  if (!f)
    throw EAbException("Invalid cpio header");

  CpioEntry e;
  e.kind = *kind;
  e.headerOffset = offset;
  e.mode = static_cast<std::uint32_t>(f->mode);
  e.links = static_cast<std::uint32_t>(f->links);
  e.checksum = static_cast<std::uint32_t>(f->check);
  e.size = f->size;
  const std::uint64_t nameOffset = offset + size;
  if (f->nameSize > total - std::min(total, nameOffset))
    throw EAbException("Truncated cpio name");
  std::vector<std::byte> name(static_cast<std::size_t>(f->nameSize));
  if (!source.seek(nameOffset) || !source.readExact(name))
    throw EAbException("Stream read error");
  // The name ends at its first NUL (normally its last byte).
  std::size_t n = 0;
  while (n < name.size() && name[n] != std::byte{0})
    ++n;
  e.name.assign(reinterpret_cast<const char*>(name.data()), n);

  // Sizes of at most 8 GiB and names of at most 64 KiB: these sums cannot wrap.
  const std::uint64_t nameEnd = nameOffset + f->nameSize;
  switch (*kind) {
  case CpioKind::Newc:
  case CpioKind::Crc:
    e.dataOffset = alignUp(nameEnd, 4);
    e.next = alignUp(e.dataOffset + e.size, 4);
    break;
  case CpioKind::Odc:
    e.dataOffset = nameEnd;
    e.next = e.dataOffset + e.size;
    break;
  default:
    e.dataOffset = alignUp(nameEnd, 2);
    e.next = alignUp(e.dataOffset + e.size, 2);
    break;
  }
  return e;
}

std::uint32_t cpioChecksum(std::uint32_t sum, std::span<const std::byte> data) {
  for (const std::byte b : data)
    sum += std::to_integer<std::uint32_t>(b);
  return sum;
}

} // namespace kyv::archive
