#include "unrar/huffman.h"

namespace kyv::unrar {

void Huffman::build(std::span<const std::uint8_t> lengths) {
  std::array<std::uint32_t, kMaxLength + 1> count{};
  for (const std::uint8_t l : lengths)
    if (l != 0) {
      if (l > kMaxLength)
        dataError("Huffman code length over 15");
      ++count[l];
    }
  symbols_.clear();
  quick_.fill(0);
  std::uint32_t code = 0;
  std::uint32_t index = 0;
  for (unsigned l = 1; l <= kMaxLength; ++l) {
    start_[l] = code;
    first_[l] = index;
    code += count[l] << (16 - l);
    limit_[l] = code;
    index += count[l];
  }
  if (code > 0x10000)
    dataError("over-subscribed Huffman code");
  std::array<std::uint32_t, kMaxLength + 1> next{};
  for (unsigned l = 1; l <= kMaxLength; ++l)
    next[l] = first_[l];
  symbols_.resize(index);
  for (std::size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s] != 0)
      symbols_[next[lengths[s]]++] = static_cast<std::uint16_t>(s);
  // Fill the quick table for the codes that fit in it.
  for (unsigned l = 1; l <= kQuickBits; ++l)
    for (std::uint32_t i = 0; i < count[l]; ++i) {
      const std::uint32_t c = start_[l] + (i << (16 - l));
      const std::uint32_t from = c >> (16 - kQuickBits);
      const std::uint32_t n = 1u << (kQuickBits - l);
      const auto entry = static_cast<std::uint16_t>((symbols_[first_[l] + i] << 4) | l);
      for (std::uint32_t k = 0; k < n; ++k)
        quick_[from + k] = entry;
    }
}

std::uint32_t Huffman::decodeSlow(BitReader& in, std::uint32_t bits) const {
  for (unsigned l = kQuickBits + 1; l <= kMaxLength; ++l)
    if (bits < limit_[l] && bits >= start_[l]) {
      in.skip(l);
      return symbols_[first_[l] + ((bits - start_[l]) >> (16 - l))];
    }
  dataError("bits match no Huffman code");
}

} // namespace kyv::unrar
