#include "archive/pkware_crypt.h"

#include <algorithm>

#include "codec/checksum.h"

namespace kyv::archive {

PkwareKeys::PkwareKeys(std::string_view password) {
  for (const char c : password)
    update(static_cast<std::uint8_t>(c));
}

void PkwareKeys::update(std::uint8_t plain) {
  k0_ = codec::crc32Byte(k0_, plain);
  k1_ = (k1_ + (k0_ & 0xFF)) * 134775813u + 1;
  k2_ = codec::crc32Byte(k2_, static_cast<std::uint8_t>(k1_ >> 24));
}

std::uint8_t PkwareKeys::decryptByte(std::uint8_t cipher) {
  const std::uint32_t t = (k2_ | 2) & 0xFFFF;
  const auto plain =
      static_cast<std::uint8_t>(cipher ^ static_cast<std::uint8_t>((t * (t ^ 1)) >> 8));
  update(plain);
  return plain;
}

void PkwareKeys::decrypt(std::span<std::byte> data) {
  for (std::byte& b : data)
    b = static_cast<std::byte>(decryptByte(std::to_integer<std::uint8_t>(b)));
}

bool checkPkwareHeader(std::string_view password,
                       std::span<const std::byte, kPkwareHeaderSize> header,
                       std::uint8_t checkByte) {
  std::array<std::byte, kPkwareHeaderSize> copy;
  std::copy(header.begin(), header.end(), copy.begin());
  PkwareKeys keys(password);
  keys.decrypt(copy);
  return std::to_integer<std::uint8_t>(copy.back()) == checkByte;
}

TAbDfDecryptStream::TAbDfDecryptStream(ByteSource& base, std::string_view password)
    : base_(base), password_(password), keys_(password), start_(base.position()) {}

TAbDfDecryptStream::Header TAbDfDecryptStream::ReadHeader(std::uint8_t checkByte) {
  std::array<std::byte, kPkwareHeaderSize> header;
  if (pos_ != 0 && !seek(0))
    return Header::Truncated;
  if (!readExact(header))
    return Header::Truncated;
  return std::to_integer<std::uint8_t>(header.back()) == checkByte ? Header::Ok
                                                                   : Header::WrongPassword;
}

std::size_t TAbDfDecryptStream::read(std::span<std::byte> out) {
  if (base_.position() != start_ + pos_ && !base_.seek(start_ + pos_))
    return 0;
  const std::size_t n = base_.read(out);
  keys_.decrypt(out.first(n));
  pos_ += n;
  return n;
}

bool TAbDfDecryptStream::seek(std::uint64_t offset) {
  if (offset == pos_)
    return true;
  if (offset > size() || !base_.seek(start_))
    return false;
  // The cipher state depends on every byte before the target, so start over and read forward.
  keys_ = PkwareKeys(password_);
  pos_ = 0;
  std::array<std::byte, 1024> skip;
  while (pos_ < offset) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(skip.size(), offset - pos_));
    if (read(std::span(skip).first(want)) == 0)
      return false;
  }
  return true;
}

std::uint64_t TAbDfDecryptStream::size() const {
  const std::uint64_t total = base_.size();
  return total > start_ ? total - start_ : 0;
}

} // namespace kyv::archive
