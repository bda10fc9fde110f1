#include "archive/tar_format.h"

#include <algorithm>
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
  return ParseOctal(std::span(header).subspan(TarField::SizeOff, TarField::SizeLen));
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
    const bool inChecksum = i >= TarField::ChksumOff && i < TarField::ChksumOff + TarField::ChksumLen;
    sum += inChecksum ? 0x20u : std::to_integer<unsigned>(block[i]);
  }
  if (sum == ParseOctal(std::span(h).subspan(TarField::ChksumOff, TarField::ChksumLen)))
    return 4;
  const std::string magic = tarText(h, TarField::MagicOff, TarField::MagicLen);
  return magic == "ustar  " || magic == "GNUtar " ? 4 : 0;
}

bool TAbTarStreamHelper::readHeaderAt(std::uint64_t offset) {
  offset_ = offset;
  return source_.seek(offset) && source_.readExact(header_);
}

std::uint64_t TAbTarStreamHelper::nextOffset() const {
  const std::uint64_t size = tarSize(header_);
  // The data is padded to whole blocks; the size is below 2^36, so nothing here overflows.
  return offset_ + kTarBlockSize + (size + kTarBlockSize - 1) / kTarBlockSize * kTarBlockSize;
}

bool TAbTarStreamHelper::FirstRegularEntry() {
  bool found = readHeaderAt(0);
  while (found && !isTarRegular(header_))
    found = readHeaderAt(nextOffset());
  return found;
}

bool TAbTarStreamHelper::NextRegularEntry() {
  bool found = readHeaderAt(nextOffset());
  while (found && header_[TarField::NameOff] != std::byte{0} && !isTarRegular(header_))
    found = readHeaderAt(nextOffset());
  return found && header_[TarField::NameOff] != std::byte{0};
}

} // namespace kyv::archive
