#include "archive/lzh_format.h"

#include <functional>
#include <vector>

#include "archive/ab_exception.h"
#include "base/endian.h"

namespace kyv::archive {

namespace {

constexpr std::size_t kFixed = 22; // the part every level shares, up to and including byte 21

std::uint8_t byteAt(std::span<const std::byte> b, std::size_t off) {
  return std::to_integer<std::uint8_t>(b[off]);
}

bool methodLooksRight(std::span<const std::byte> b) {
  const auto m = [&](std::size_t i) { return static_cast<char>(byteAt(b, lzh::kMethod + i)); };
  return m(0) == '-' && m(1) == 'l' && (m(2) == 'h' || m(2) == 'z') && m(4) == '-';
}

std::uint8_t byteSum(std::span<const std::byte> b) {
  unsigned sum = 0;
  for (const std::byte x : b)
    sum += std::to_integer<unsigned>(x);
  return static_cast<std::uint8_t>(sum);
}

// Bytes of the base header that levels 0 and 1 need past the name: the CRC, and for level 1 the
// OS id and the first extended header's size.
std::size_t afterName(int level) { return level == 0 ? 2 : 5; }

[[noreturn]] void damaged(const std::string& what) {
  throw EAbException("damaged LZH header: " + what, AbCode::Unknown, ErrorKind::BadHeader);
}

std::string pathText(std::span<const std::byte> data) {
  std::string s(reinterpret_cast<const char*>(data.data()), data.size());
  for (char& c : s)
    if (c == '\\' || static_cast<unsigned char>(c) == 0xFF)
      c = '/';
  return s;
}

// Fetches n bytes at a position of the extended-header area; false when they are not there.
using Fetch = std::function<bool(std::uint64_t pos, std::size_t n, std::vector<std::byte>& out)>;

// Walks the extended headers from `pos`, the first `size` bytes long, each ending in the size
// (sizeBytes wide) of the next. Returns the position after the last. Every header takes at
// least 1 + sizeBytes bytes, so the walk ends within the bytes Fetch can give.
std::uint64_t walkExtended(const Fetch& fetch, std::uint64_t pos, std::uint64_t size,
                           std::size_t sizeBytes, bool sizes64, LzhHeader& header,
                           std::string& dir) {
  std::vector<std::byte> ext;
  while (size != 0) {
    if (size < 1 + sizeBytes || size > SIZE_MAX || !fetch(pos, static_cast<std::size_t>(size), ext))
      damaged("an extended header leaves its bounds");
    const auto data = std::span<const std::byte>(ext).subspan(1, ext.size() - 1 - sizeBytes);
    switch (byteAt(ext, 0)) {
    case 0x01:
      header.name = pathText(data);
      break;
    case 0x02:
      dir = pathText(data);
      break;
    case 0x42:
      if (sizes64 && data.size() >= 16) {
        header.compressedSize = loadLe64(&data[0]);
        header.originalSize = loadLe64(&data[8]);
      }
      break;
    default:
      break;
    }
    pos += size;
    const std::byte* next = &ext[ext.size() - sizeBytes];
    size = sizeBytes == 2 ? loadLe16(next) : loadLe32(next);
  }
  return pos;
}

} // namespace

bool isLzhHeader(std::span<const std::byte> head) {
  if (head.size() < lzh::kMinLevel3 || !methodLooksRight(head))
    return false;
  const int level = byteAt(head, lzh::kLevel);
  if (level == 0 || level == 1) {
    const std::size_t total = byteAt(head, 0) + std::size_t{2};
    const std::size_t nameLength = byteAt(head, lzh::kNameLength);
    return kFixed + nameLength + afterName(level) <= total && total <= head.size() &&
           byteSum(head.subspan(2, total - 2)) == byteAt(head, 1);
  }
  if (level == 2)
    return loadLe16(&head[0]) >= lzh::kMinLevel2;
  if (level == 3) {
    const std::uint32_t total = loadLe32(&head[24]);
    return loadLe16(&head[0]) == 4 && total >= lzh::kMinLevel3 && total <= lzh::kMaxLevel3Header;
  }
  return false;
}

std::optional<LzhHeader> readLzhHeader(ByteSource& source, std::uint64_t offset) {
  const std::uint64_t fileSize = source.size();
  std::vector<std::byte> base(kFixed);
  if (!source.seek(offset) || offset >= fileSize)
    return std::nullopt;
  const std::size_t got = source.read(std::span(base).first(1));
  if (got == 0 || byteAt(base, 0) == 0)
    return std::nullopt;
  if (!source.readExact(std::span(base).subspan(1)))
    damaged("the archive ends inside a header");
  if (!methodLooksRight(base))
    damaged("no method");
  LzhHeader header;
  header.level = byteAt(base, lzh::kLevel);
  header.method.assign(reinterpret_cast<const char*>(&base[lzh::kMethod]), lzh::kMethodSize);
  header.compressedSize = loadLe32(&base[lzh::kCompressedSize]);
  header.originalSize = loadLe32(&base[lzh::kOriginalSize]);
  header.time = loadLe32(&base[lzh::kTime]);
  std::string dir;
  // Level 1 keeps its extended headers outside the base header, in the file.
  const Fetch fromFile = [&source, fileSize](std::uint64_t pos, std::size_t n,
                                             std::vector<std::byte>& out) {
    out.resize(n);
    return pos <= fileSize && n <= fileSize - pos && source.seek(pos) && source.readExact(out);
  };
  // Levels 2 and 3 keep them inside the header, read whole.
  const auto fromHeader = [&base](std::uint64_t pos, std::size_t n, std::vector<std::byte>& out) {
    if (!inRange(base.size(), pos, n))
      return false;
    out.assign(base.begin() + static_cast<std::ptrdiff_t>(pos),
               base.begin() + static_cast<std::ptrdiff_t>(pos + n));
    return true;
  };
  switch (header.level) {
  case 0:
  case 1: {
    const std::size_t total = byteAt(base, 0) + std::size_t{2};
    if (total < kFixed)
      damaged("too short");
    base.resize(total);
    if (!source.readExact(std::span(base).subspan(kFixed)))
      damaged("the archive ends inside a header");
    const std::size_t nameLength = byteAt(base, lzh::kNameLength);
    if (kFixed + nameLength + afterName(header.level) > total)
      damaged("the name leaves the header");
    if (byteSum(std::span(base).subspan(2)) != byteAt(base, 1))
      damaged("bad header sum");
    header.name = pathText(std::span(base).subspan(kFixed, nameLength));
    header.crc = loadLe16(&base[kFixed + nameLength]);
    header.dataOffset = offset + total;
    if (header.level == 1) {
      const std::uint64_t extStart = offset + total;
      header.dataOffset =
          walkExtended(fromFile, extStart, loadLe16(&base[total - 2]), 2, false, header, dir);
      const std::uint64_t extBytes = header.dataOffset - extStart;
      // The compressed size counts the extended headers.
      if (extBytes > header.compressedSize)
        damaged("extended headers larger than the member");
      header.compressedSize -= extBytes;
    }
    break;
  }
  case 2:
  case 3: {
    std::uint64_t total = loadLe16(&base[0]);
    std::size_t sizeBytes = 2;
    std::size_t extStart = lzh::kMinLevel2;
    if (header.level == 3) {
      if (total != 4)
        damaged("level 3 with a word size other than 4");
      base.resize(lzh::kMinLevel3);
      if (!source.readExact(std::span(base).subspan(kFixed)))
        damaged("the archive ends inside a header");
      total = loadLe32(&base[24]);
      sizeBytes = 4;
      extStart = lzh::kMinLevel3;
      if (total > lzh::kMaxLevel3Header)
        damaged("header too large");
    }
    if (total < extStart)
      damaged("too short");
    const std::size_t have = base.size();
    base.resize(static_cast<std::size_t>(total));
    if (!source.readExact(std::span(base).subspan(have)))
      damaged("the archive ends inside a header");
    header.crc = loadLe16(&base[lzh::kCrc]);
    const std::uint64_t first =
        sizeBytes == 2 ? loadLe16(&base[extStart - 2]) : loadLe32(&base[extStart - 4]);
    walkExtended(fromHeader, extStart, first, sizeBytes, true, header, dir);
    header.dataOffset = offset + total;
    break;
  }
  default:
    damaged("unknown level " + std::to_string(header.level));
  }
  if (!dir.empty())
    header.name = dir + (dir.back() == '/' ? "" : "/") + header.name;
  return header;
}

} // namespace kyv::archive
