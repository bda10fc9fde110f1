#include "archive/arj_format.h"

#include <array>
#include <cstring>

#include "base/endian.h"
#include "codec/checksum.h"

namespace kyv::archive {

namespace {
constexpr std::size_t kIdAndSize = 4;
constexpr std::size_t kCrcSize = 4;
} // namespace

bool isArjMainHeader(std::span<const std::byte> head) {
  if (head.size() < kIdAndSize + kArjMinFixedPart ||
      std::to_integer<std::uint8_t>(head[0]) != kArjId0 ||
      std::to_integer<std::uint8_t>(head[1]) != kArjId1)
    return false;
  const std::size_t size = loadLe16(&head[2]);
  const std::size_t fixed = std::to_integer<std::size_t>(head[kIdAndSize + arj::kFirstHeaderSize]);
  if (size > kArjMaxBasicHeader || fixed < kArjMinFixedPart || size < fixed + 2 ||
      std::to_integer<std::uint8_t>(head[kIdAndSize + arj::kFileType]) != arj::kTypeMain)
    return false;
  // A main header with a long comment may pass the head; its fixed part has been checked.
  if (!inRange(head.size(), kIdAndSize, size + kCrcSize))
    return true;
  const auto basic = head.subspan(kIdAndSize, size);
  return codec::crc32Update(0, basic) == loadLe32(&head[kIdAndSize + size]);
}

std::optional<ArjHeader> readArjHeader(ByteSource& source, std::uint64_t offset) {
  std::array<std::byte, kIdAndSize> lead{};
  if (!source.seek(offset) || !source.readExact(lead) ||
      std::to_integer<std::uint8_t>(lead[0]) != kArjId0 ||
      std::to_integer<std::uint8_t>(lead[1]) != kArjId1)
    return std::nullopt;
  ArjHeader header;
  const std::size_t size = loadLe16(&lead[2]);
  if (size == 0) {
    header.end = true;
    header.next = offset + kIdAndSize;
    return header;
  }
  if (size > kArjMaxBasicHeader)
    return std::nullopt;
  header.basic.resize(size + kCrcSize);
  if (!source.readExact(header.basic))
    return std::nullopt;
  const std::uint32_t crc = loadLe32(&header.basic[size]);
  header.basic.resize(size);
  if (codec::crc32Update(0, header.basic) != crc)
    return std::nullopt;
  const std::size_t fixed = header.byteAt(arj::kFirstHeaderSize);
  if (fixed < kArjMinFixedPart || fixed > size)
    return std::nullopt;
  const auto* start = header.basic.data() + fixed;
  const auto* nul = static_cast<const std::byte*>(std::memchr(start, 0, size - fixed));
  if (nul == nullptr)
    return std::nullopt;
  header.name.assign(reinterpret_cast<const char*>(start), static_cast<std::size_t>(nul - start));
  // Extended headers: skipped, each within the file. Each takes at least seven bytes, so their
  // number is bounded by the file's size.
  std::uint64_t pos = offset + kIdAndSize + size + kCrcSize;
  const std::uint64_t fileSize = source.size();
  for (;;) {
    std::array<std::byte, 2> extSize{};
    if (!source.seek(pos) || !source.readExact(extSize))
      return std::nullopt;
    const std::uint64_t n = loadLe16(extSize.data());
    pos += 2;
    if (n == 0)
      break;
    if (pos > fileSize || n + kCrcSize > fileSize - pos)
      return std::nullopt;
    pos += n + kCrcSize;
  }
  header.next = pos;
  return header;
}

} // namespace kyv::archive
