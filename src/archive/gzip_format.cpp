#include "archive/gzip_format.h"

#include <algorithm>

#include "base/endian.h"

namespace kyv::archive {

namespace {

// A zero-terminated text from the current position, read ahead in blocks of 1023 bytes; the
// source is left after the terminator. False when the source ends first.
bool readZeroTerminated(ByteSource& source, std::string* keep) {
  std::array<std::byte, 1023> block{};
  for (;;) {
    const std::uint64_t start = source.position();
    const std::size_t got = source.read(block);
    if (got == 0)
      return false;
    for (std::size_t i = 0; i < got; ++i)
      if (block[i] == std::byte{0}) {
        if (keep && keep->size() < kGzipTextCap)
          keep->append(reinterpret_cast<const char*>(block.data()),
                       std::min(i, kGzipTextCap - keep->size()));
        return source.seek(start + i + 1);
      }
    if (keep && keep->size() < kGzipTextCap)
      keep->append(reinterpret_cast<const char*>(block.data()),
                   std::min(got, kGzipTextCap - keep->size()));
  }
}

} // namespace

std::uint32_t TAbGzipHeader::mtime() const { return loadLe32(&fixed[4]); }

bool isGzipSignature(std::span<const std::byte> head) {
  return head.size() >= 3 && head[0] == std::byte{0x1F} && head[1] == std::byte{0x8B} &&
         head[2] == std::byte{0x08};
}

std::optional<TAbGzipHeader> readGzipHeader(ByteSource& source, std::uint64_t offset) {
  TAbGzipHeader h;
  if (!source.seek(offset) || !source.readExact(h.fixed) || !isGzipSignature(h.fixed))
    return std::nullopt;
  const std::uint8_t flags = h.flags();
  if (flags & kGzipFlagExtra) {
    std::array<std::byte, 2> len{};
    if (!source.readExact(len))
      return std::nullopt;
    h.extra.resize(loadLe16(len.data()));
    if (!source.readExact(h.extra))
      return std::nullopt;
  }
  if (flags & kGzipFlagName) {
    h.name.clear();
    if (!readZeroTerminated(source, &h.name))
      return std::nullopt;
  }
  if ((flags & kGzipFlagComment) && !readZeroTerminated(source, &h.comment))
    return std::nullopt;
  if (flags & kGzipFlagHeaderCrc) {
    std::array<std::byte, 2> crc{};
    if (!source.readExact(crc))
      return std::nullopt;
  }
  h.dataOffset = source.position();
  return h;
}

} // namespace kyv::archive
