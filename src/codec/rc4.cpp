#include "codec/rc4.h"

#include <utility>

namespace kyv::codec {

Rc4::Rc4(std::span<const std::uint8_t> key) {
  for (int k = 0; k < 256; ++k)
    s_[k] = static_cast<std::uint8_t>(k);
  const std::uint8_t zero = 0;
  if (key.empty())
    key = std::span(&zero, 1);
  std::uint8_t j = 0;
  for (std::size_t k = 0; k < 256; ++k) {
    j = static_cast<std::uint8_t>(j + s_[k] + key[k % key.size()]);
    std::swap(s_[k], s_[j]);
  }
}

void Rc4::apply(std::span<std::byte> data) {
  std::uint8_t i = i_, j = j_;
  for (std::byte& b : data) {
    i = static_cast<std::uint8_t>(i + 1);
    j = static_cast<std::uint8_t>(j + s_[i]);
    std::swap(s_[i], s_[j]);
    b ^= static_cast<std::byte>(s_[static_cast<std::uint8_t>(s_[i] + s_[j])]);
  }
  i_ = i;
  j_ = j;
}

} // namespace kyv::codec
