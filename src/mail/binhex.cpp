#include "mail/binhex.h"

#include <array>

namespace kyv::mail {
namespace {

constexpr std::string_view kAnnounce = "(This file must be converted with BinHex";
constexpr std::string_view kAlphabet =
    "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
constexpr std::uint8_t kNotCoded = 0xFF;
constexpr std::uint8_t kRunMarker = 0x90;

constexpr std::array<std::uint8_t, 256> makeTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table)
    v = kNotCoded;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
  return table;
}
constexpr std::array<std::uint8_t, 256> kTable = makeTable();
static_assert(kAlphabet.size() == 64);

// CRC-16 with the CCITT polynomial, no reflection, starting at 0 (RFC 1741's CRC, which it
// describes as computed with two zero bytes appended: the same value).
std::uint16_t crcStep(std::uint16_t crc, std::uint8_t byte) {
  crc ^= static_cast<std::uint16_t>(byte << 8);
  for (int k = 0; k < 8; ++k)
    crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  return crc;
}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

std::size_t FindBinHex(std::string_view text) {
  for (std::size_t at = text.find(kAnnounce); at != std::string_view::npos;
       at = text.find(kAnnounce, at + 1)) {
    std::size_t start = at;
    while (start > 0 && (text[start - 1] == ' ' || text[start - 1] == '\t'))
      --start;
    if (start == 0 || text[start - 1] == '\n' || text[start - 1] == '\r')
      return start;
  }
  return std::string_view::npos;
}

TBinHexReader::TBinHexReader(std::string_view text) : text_(text) {}

std::optional<std::uint8_t> TBinHexReader::NextCoded() {
  while (bitCount_ < 8) {
    if (textEnded_)
      return std::nullopt;
    if (pos_ >= text_.size()) {
      textEnded_ = true;
      return std::nullopt;
    }
    const char c = text_[pos_++];
    if (c == ':') {
      textEnded_ = true; // the closing colon
      return std::nullopt;
    }
    const std::uint8_t v = kTable[static_cast<unsigned char>(c)];
    if (v == kNotCoded)
      continue; // line breaks and blanks between the characters
    bits_ = (bits_ << 6 | v) & 0xFFFFFF;
    bitCount_ += 6;
  }
  bitCount_ -= 8;
  return static_cast<std::uint8_t>(bits_ >> bitCount_);
}

std::optional<std::uint8_t> TBinHexReader::Next() {
  if (repeat_ > 0) {
    --repeat_;
    return last_;
  }
  const auto byte = NextCoded();
  if (!byte)
    return std::nullopt;
  if (*byte != kRunMarker)
    return last_ = *byte;
  const auto count = NextCoded();
  if (!count)
    return std::nullopt;
  if (*count == 0)
    return last_ = kRunMarker; // a literal 0x90
  // The byte before the marker stands count times in all; it was given once already. A run
  // of one repeats nothing (encoders never write it) and the next byte follows.
  if (*count == 1)
    return Next();
  repeat_ = *count - 2u;
  return last_;
}

bool TBinHexReader::ReadBytes(std::uint8_t* out, std::size_t count, std::uint16_t& crc) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto b = Next();
    if (!b)
      return false;
    out[i] = *b;
    crc = crcStep(crc, *b);
  }
  return true;
}

bool TBinHexReader::ReadHeader() {
  const std::size_t at = FindBinHex(text_);
  if (at == std::string_view::npos)
    return false;
  // The coded text starts after the first colon that begins a line after the announcement.
  std::size_t colon = text_.find(':', at + kAnnounce.size());
  if (colon == std::string_view::npos)
    return false;
  pos_ = colon + 1;
  std::uint16_t crc = 0;
  std::uint8_t nameLength = 0;
  if (!ReadBytes(&nameLength, 1, crc) || nameLength == 0 || nameLength > 63)
    return false;
  std::uint8_t rest[63 + 1 + 4 + 4 + 2 + 4 + 4];
  const std::size_t restLength = nameLength + 1u + 4 + 4 + 2 + 4 + 4;
  if (!ReadBytes(rest, restLength, crc))
    return false;
  std::uint8_t stored[2];
  std::uint16_t ignored = 0;
  if (!ReadBytes(stored, 2, ignored))
    return false;
  name_.assign(reinterpret_cast<const char*>(rest), nameLength);
  const std::uint8_t* lengths = rest + nameLength + 1 + 4 + 4 + 2;
  dataLength_ = bigEndian32(lengths);
  resourceLength_ = bigEndian32(lengths + 4);
  headerCrcOk_ = crc == (stored[0] << 8 | stored[1]);
  return true;
}

TBinHexReader::ForkResult TBinHexReader::ReadFork(std::uint32_t length, ByteSink& out) {
  ForkResult result;
  std::array<std::uint8_t, 16 * 1024> buffer;
  std::uint16_t crc = 0;
  std::uint32_t left = length;
  bool sinkOk = true;
  while (left > 0) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint32_t>(left, buffer.size()));
    std::size_t got = 0;
    while (got < chunk) {
      const auto b = Next();
      if (!b)
        break;
      buffer[got++] = *b;
      crc = crcStep(crc, *b);
    }
    if (sinkOk && got > 0) {
      sinkOk = out.write(std::as_bytes(std::span(buffer.data(), got)));
      if (sinkOk)
        result.Written += got;
    }
    left -= static_cast<std::uint32_t>(got);
    if (got < chunk)
      return result; // the text ended inside the fork
  }
  std::uint8_t stored[2];
  std::uint16_t ignored = 0;
  if (!ReadBytes(stored, 2, ignored))
    return result;
  result.Complete = sinkOk;
  result.CrcOk = crc == (stored[0] << 8 | stored[1]);
  return result;
}

} // namespace kyv::mail
