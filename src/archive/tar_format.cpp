#include "archive/tar_format.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

namespace kyv::archive {

std::uint64_t ParseOctal(std::span<const std::byte> field) {
  std::size_t i = 0;
  while (i < field.size() && field[i] == std::byte{' '})
    ++i;
  std::uint64_t value = 0;
  // At most 12 digits (the widest field), so the value stays below 2^36.
  for (; i < field.size(); ++i) {
    const auto c = std::to_integer<unsigned char>(field[i]);
    if (c < '0' || c > '7')
      break;
    value = value * 8 + (c - '0');
  }
  return value;
}

std::string tarText(const TarHeaderBytes& header, std::size_t offset, std::size_t width) {
  const auto* p = reinterpret_cast<const char*>(header.data() + offset);
  std::size_t n = 0;
  while (n < width && p[n] != '\0')
    ++n;
  return std::string(p, n);
}

bool isTarRegular(const TarHeaderBytes& header) {
  const std::byte type = header[TarField::TypeOff];
  return type == std::byte{0} || type == std::byte{'0'};
}

std::uint64_t tarSize(const TarHeaderBytes& header) {
  return ParseTarNumber(std::span(header).subspan(TarField::SizeOff, TarField::SizeLen));
}

int VerifyTar(ByteSource& source) {
  std::array<std::byte, kTarBlockSize> block{};
  if (!source.seek(0))
    return 0;
  const std::size_t got = source.read(block);
  if (got < kTarHeaderRead)
    return 0;
  TarHeaderBytes h{};
  std::copy_n(block.begin(), h.size(), h.begin());
  // The checksum covers the whole block; ustar archives keep long names in the prefix past the
  // first 345 bytes, so summing less would refuse them.
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < got; ++i) {
    const bool inChecksum =
        i >= TarField::ChksumOff && i < TarField::ChksumOff + TarField::ChksumLen;
    sum += inChecksum ? 0x20u : std::to_integer<unsigned>(block[i]);
  }
  if (sum == ParseOctal(std::span(h).subspan(TarField::ChksumOff, TarField::ChksumLen)))
    return 4;
  const std::string magic = tarText(h, TarField::MagicOff, TarField::MagicLen);
  return magic == "ustar  " || magic == "GNUtar " ? 4 : 0;
}

namespace {

// Long names past this are cut: real paths are far shorter, and the cap keeps a hostile entry
// from filling memory. pax headers get more room, as version 0.x sparse maps live in them.
constexpr std::size_t kMaxLongName = 64 * 1024;
constexpr std::size_t kMaxPaxHeader = 16 * 1024 * 1024;

// offset + one header block + size rounded up to whole blocks, or the largest offset when that
// does not fit (the walk then ends at its next read).
std::uint64_t afterData(std::uint64_t offset, std::uint64_t size) {
  const std::uint64_t blocks = size / kTarBlockSize + (size % kTarBlockSize != 0 ? 1 : 0);
  const std::uint64_t room = UINT64_MAX - offset;
  if (room < kTarBlockSize || (room - kTarBlockSize) / kTarBlockSize < blocks)
    return UINT64_MAX;
  return offset + kTarBlockSize + blocks * kTarBlockSize;
}

// Reads until out is full or the source ends; the count read.
std::size_t readUpTo(ByteSource& source, std::span<std::byte> out) {
  std::size_t got = 0;
  while (got < out.size()) {
    const std::size_t n = source.read(out.subspan(got));
    if (n == 0)
      break;
    got += n;
  }
  return got;
}

std::string untilZero(std::string text) {
  const auto zero = text.find('\0');
  if (zero != std::string::npos)
    text.resize(zero);
  return text;
}

bool isRegularType(char type) {
  return type == '\0' || type == '0' || type == TarType::Contiguous || type == TarType::GnuSparse;
}

template <std::size_t N>
std::uint64_t numberAt(const std::array<std::byte, N>& block, std::size_t offset,
                       std::size_t width) {
  return ParseTarNumber(std::span(block).subspan(offset, width));
}

} // namespace

std::uint64_t ParseTarNumber(std::span<const std::byte> field) {
  if (field.empty() || (std::to_integer<unsigned>(field[0]) & 0x80) == 0)
    return ParseOctal(field);
  // Base-256: the first byte's remaining bits lead. A set sign bit (0xFF lead) is negative.
  if (std::to_integer<unsigned>(field[0]) & 0x40)
    return 0;
  std::uint64_t value = std::to_integer<unsigned>(field[0]) & 0x3F;
  for (std::size_t i = 1; i < field.size(); ++i) {
    if (value >> 56 != 0)
      return UINT64_MAX;
    value = (value << 8) | std::to_integer<unsigned>(field[i]);
  }
  return value;
}

bool TAbTarStreamHelper::readBlock(std::uint64_t offset) {
  block_.fill(std::byte{0});
  // The listing uses the first 345 bytes; a last header cut after them still counts.
  return source_.seek(offset) && readUpTo(source_, block_) >= kTarHeaderRead;
}

std::string TAbTarStreamHelper::readData(std::uint64_t offset, std::uint64_t size,
                                         std::size_t cap) {
  // Never more than the source holds, whatever the header says.
  const std::uint64_t total = source_.size();
  if (offset >= total || !source_.seek(offset))
    return {};
  std::string data(static_cast<std::size_t>(std::min<std::uint64_t>({size, cap, total - offset})),
                   '\0');
  data.resize(readUpTo(source_, std::as_writable_bytes(std::span(data))));
  return data;
}

bool TAbTarStreamHelper::FirstRegularEntry() {
  longName_.clear();
  longLink_.clear();
  pax_.clear();
  paxGlobal_.clear();
  return findRegular(0, true);
}

bool TAbTarStreamHelper::NextRegularEntry() { return findRegular(next_, false); }

bool TAbTarStreamHelper::findRegular(std::uint64_t offset, bool first) {
  for (;;) {
    if (!readBlock(offset))
      return false;
    // The end-of-archive block has an empty name; only the very first entry is taken as it is.
    if (!first && block_[TarField::NameOff] == std::byte{0})
      return false;
    const char type = static_cast<char>(block_[TarField::TypeOff]);
    const std::uint64_t headerSize = numberAt(block_, TarField::SizeOff, TarField::SizeLen);
    const std::uint64_t dataAt = offset + kTarBlockSize;
    switch (type) {
    case TarType::GnuLongName:
      longName_ = untilZero(readData(dataAt, headerSize, kMaxLongName));
      offset = afterData(offset, headerSize);
      continue;
    case TarType::GnuLongLink:
      longLink_ = untilZero(readData(dataAt, headerSize, kMaxLongName));
      offset = afterData(offset, headerSize);
      continue;
    case TarType::PaxLocal:
      parsePaxRecords(readData(dataAt, headerSize, kMaxPaxHeader), pax_);
      offset = afterData(offset, headerSize);
      continue;
    case TarType::PaxGlobal:
      parsePaxRecords(readData(dataAt, headerSize, kMaxPaxHeader), paxGlobal_);
      offset = afterData(offset, headerSize);
      continue;
    default:
      break;
    }
    // A pax size stands for the header's when the header's field could not hold it.
    std::uint64_t size = headerSize;
    if (auto paxSize = pax_.number("size"))
      size = *paxSize;
    else if (auto globalSize = paxGlobal_.number("size"))
      size = *globalSize;
    if (isRegularType(type)) {
      makeEntry(offset, size);
      longName_.clear();
      longLink_.clear();
      pax_.clear();
      return true;
    }
    // Folders, links, devices: what described them is used up.
    longName_.clear();
    longLink_.clear();
    pax_.clear();
    offset = afterData(offset, size);
  }
}

void TAbTarStreamHelper::makeEntry(std::uint64_t offset, std::uint64_t size) {
  entry_ = TarEntry{};
  std::copy_n(block_.begin(), entry_.header.size(), entry_.header.begin());
  entry_.headerOffset = offset;

  // The name: a pax path, a GNU long name, a global pax path, else the header's own fields,
  // with the POSIX ustar prefix in front (GNU headers use that room for other things).
  std::string name = tarText(entry_.header, TarField::NameOff, TarField::NameLen);
  const std::string magic(reinterpret_cast<const char*>(&block_[TarField::MagicOff]), 6);
  if (magic == std::string("ustar\0", 6)) {
    std::string prefix(reinterpret_cast<const char*>(&block_[TarField::PrefixOff]),
                       TarField::PrefixLen);
    prefix = untilZero(std::move(prefix));
    if (!prefix.empty())
      name = prefix + "/" + name;
  }
  if (const std::string* path = pax_.find("path"))
    name = *path;
  else if (!longName_.empty())
    name = longName_;
  else if (const std::string* globalPath = paxGlobal_.find("path"))
    name = *globalPath;
  entry_.linkName = tarText(entry_.header, TarField::LinkNameOff, TarField::LinkNameLen);
  if (const std::string* link = pax_.find("linkpath"))
    entry_.linkName = *link;
  else if (!longLink_.empty())
    entry_.linkName = longLink_;

  std::uint64_t dataAt = offset + kTarBlockSize;
  entry_.dataOffset = dataAt;
  entry_.storedSize = size;
  entry_.realSize = size;
  next_ = afterData(offset, size);

  if (static_cast<char>(block_[TarField::TypeOff]) == TarType::GnuSparse) {
    // The old GNU form: four map entries in the header, more in extension blocks after it.
    entry_.sparse = true;
    entry_.realSize = numberAt(block_, TarField::GnuRealSizeOff, TarField::GnuRealSizeLen);
    for (std::size_t i = 0; i < TarField::GnuSparseEntries; ++i) {
      const std::size_t at = TarField::GnuSparseOff + i * 24;
      const std::uint64_t from = numberAt(block_, at, 12);
      const std::uint64_t length = numberAt(block_, at + 12, 12);
      if (from != 0 || length != 0)
        entry_.segments.emplace_back(from, length);
    }
    bool extended = block_[TarField::GnuIsExtendedOff] != std::byte{0};
    std::array<std::byte, kTarBlockSize> ext{};
    while (extended && entry_.segments.size() < kTarMaxSparseSegments) {
      const auto n = readData(dataAt, kTarBlockSize, kTarBlockSize);
      if (n.size() != kTarBlockSize)
        break;
      std::memcpy(ext.data(), n.data(), kTarBlockSize);
      for (std::size_t i = 0; i < TarField::GnuExtEntries; ++i) {
        const std::uint64_t from = numberAt(ext, i * 24, 12);
        const std::uint64_t length = numberAt(ext, i * 24 + 12, 12);
        if (from != 0 || length != 0)
          entry_.segments.emplace_back(from, length);
      }
      extended = ext[TarField::GnuExtIsExtendedOff] != std::byte{0};
      dataAt += kTarBlockSize;
    }
    entry_.dataOffset = dataAt;
    next_ = afterData(dataAt - kTarBlockSize, size);
  } else if (pax_.number("GNU.sparse.major") == 1u && pax_.number("GNU.sparse.minor") == 0u) {
    // Version 1.0: the map is decimal text at the start of the data, padded to whole blocks.
    entry_.sparse = true;
    if (const std::string* real = pax_.find("GNU.sparse.name"))
      name = *real;
    entry_.realSize = pax_.number("GNU.sparse.realsize").value_or(0);
    std::uint64_t mapBytes = 0;
    if (!readSparseMapText(dataAt, size, entry_.segments, mapBytes))
      entry_.segments = {{UINT64_MAX, UINT64_MAX}}; // damaged: a map that fits no file
    entry_.dataOffset = dataAt + mapBytes;
    entry_.storedSize = size - mapBytes;
  } else if (auto segments = paxSparseMap(pax_)) {
    // Versions 0.0 and 0.1: the map is in the pax records.
    entry_.sparse = true;
    entry_.segments = std::move(*segments);
    if (const std::string* real = pax_.find("GNU.sparse.name"))
      name = *real;
    entry_.realSize =
        pax_.number("GNU.sparse.realsize").value_or(pax_.number("GNU.sparse.size").value_or(0));
  }
  entry_.name = std::move(name);
}

bool TAbTarStreamHelper::readSparseMapText(std::uint64_t offset, std::uint64_t size,
                                           TarSegments& segments, std::uint64_t& mapBytes) {
  // Lines of decimal numbers: the count, then offset and length of each segment. Read a block
  // at a time, as far as the map goes.
  std::string text;
  std::size_t at = 0;
  const auto nextNumber = [&]() -> std::optional<std::uint64_t> {
    for (;;) {
      const auto newline = text.find('\n', at);
      if (newline != std::string::npos) {
        const auto number = parseDecimal(std::string_view(text).substr(at, newline - at));
        at = newline + 1;
        return number;
      }
      if (text.size() - at > 20 || text.size() >= size)
        return std::nullopt;
      const std::string more = readData(offset + text.size(), kTarBlockSize, kTarBlockSize);
      if (more.empty())
        return std::nullopt;
      text += more;
    }
  };
  const auto count = nextNumber();
  if (!count || *count > kTarMaxSparseSegments)
    return false;
  for (std::uint64_t i = 0; i < *count; ++i) {
    const auto from = nextNumber();
    const auto length = from ? nextNumber() : std::nullopt;
    if (!length)
      return false;
    segments.emplace_back(*from, *length);
  }
  mapBytes = (at + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
  if (mapBytes > size)
    return false;
  return true;
}

} // namespace kyv::archive
