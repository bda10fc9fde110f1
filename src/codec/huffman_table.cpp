#include "codec/huffman_table.h"

#include <algorithm>
#include <array>

namespace kyv::codec {

namespace {

std::uint32_t reverseBits(std::uint32_t code, unsigned length) {
  std::uint32_t r = 0;
  for (unsigned i = 0; i < length; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

// Writes entry at every index whose low `length` bits (LSB order) or high bits (MSB order) are
// the code word, inside a table of 2^bits entries starting at base.
void fillCode(std::uint32_t* base, unsigned bits, std::uint32_t code, unsigned length,
              std::uint32_t entry, BitOrder order) {
  const std::size_t size = std::size_t{1} << bits;
  if (order == BitOrder::LsbFirst) {
    const std::size_t step = std::size_t{1} << length;
    for (std::size_t i = reverseBits(code, length); i < size; i += step)
      base[i] = entry;
  } else {
    const std::size_t first = static_cast<std::size_t>(code) << (bits - length);
    std::fill(base + first, base + first + (std::size_t{1} << (bits - length)), entry);
  }
}

constexpr auto kPlain = [] {
  std::array<std::uint32_t, kHuffPlainSymbols> e{};
  for (std::uint32_t s = 0; s < e.size(); ++s)
    e[s] = s << 16;
  return e;
}();

} // namespace

std::span<const std::uint32_t> plainSymbolEntries(std::size_t count) {
  return std::span(kPlain).first(std::min(count, kPlain.size()));
}

HuffBuild buildHuffmanTable(std::span<const std::uint8_t> lengths,
                            std::span<const std::uint32_t> symbolEntries, unsigned rootBits,
                            unsigned maxLen, std::span<std::uint32_t> table, BitOrder order,
                            Incomplete incomplete) {
  if (symbolEntries.size() < lengths.size() || rootBits == 0 || rootBits > kHuffMaxRootBits ||
      maxLen > kHuffMaxBuildLength || rootBits > maxLen || maxLen - rootBits > kHuffMaxSubtableBits)
    return HuffBuild::TooLarge;
  const std::size_t rootSize = std::size_t{1} << rootBits;
  if (table.size() < rootSize)
    return HuffBuild::TooLarge;

  std::array<std::uint32_t, kHuffMaxBuildLength + 1> count{};
  for (const std::uint8_t len : lengths) {
    if (len > maxLen)
      return HuffBuild::BadLength;
    ++count[len];
  }
  count[0] = 0;
  // Kraft sum: the code space left after each length must not go negative.
  std::int64_t left = 1;
  for (unsigned len = 1; len <= maxLen; ++len) {
    left = (left << 1) - count[len];
    if (left < 0)
      return HuffBuild::OverSubscribed;
  }
  if (incomplete == Incomplete::Refused && left != 0 && left != (std::int64_t{1} << maxLen))
    return HuffBuild::Incomplete;
  // Canonical first code word of each length (RFC 1951, 3.2.2).
  std::array<std::uint32_t, kHuffMaxBuildLength + 2> first{};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= maxLen; ++len) {
    code = (code + count[len - 1]) << 1;
    first[len] = code;
  }

  std::fill(table.begin(), table.begin() + static_cast<std::ptrdiff_t>(rootSize), kHuffInvalid);
  // Short code words go straight into the root; long ones tell their root prefix how many index
  // bits its subtable needs.
  std::array<std::uint8_t, std::size_t{1} << kHuffMaxRootBits> subBits{};
  auto next = first;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const unsigned len = lengths[s];
    if (len == 0)
      continue;
    const std::uint32_t c = next[len]++;
    if (len <= rootBits) {
      const std::uint32_t entry = symbolEntries[s] + len + (len << 8);
      fillCode(table.data(), rootBits, c, len, entry, order);
    } else {
      const unsigned rest = len - rootBits;
      const std::uint32_t top = c >> rest;
      const std::size_t prefix = order == BitOrder::LsbFirst ? reverseBits(top, rootBits) : top;
      subBits[prefix] = static_cast<std::uint8_t>(std::max<unsigned>(subBits[prefix], rest));
    }
  }
  std::size_t pos = rootSize;
  for (std::size_t p = 0; p < rootSize; ++p) {
    if (subBits[p] == 0)
      continue;
    const std::size_t size = std::size_t{1} << subBits[p];
    if (size > table.size() - pos || pos > 0xFFFF)
      return HuffBuild::TooLarge;
    table[p] = kHuffSubtable | static_cast<std::uint32_t>(pos << 16) |
               (static_cast<std::uint32_t>(subBits[p]) << 8) | rootBits;
    std::fill(table.begin() + static_cast<std::ptrdiff_t>(pos),
              table.begin() + static_cast<std::ptrdiff_t>(pos + size), kHuffInvalid);
    pos += size;
  }
  next = first;
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const unsigned len = lengths[s];
    if (len == 0)
      continue;
    const std::uint32_t c = next[len]++;
    if (len <= rootBits)
      continue;
    const unsigned rest = len - rootBits;
    const std::uint32_t top = c >> rest;
    const std::size_t prefix = order == BitOrder::LsbFirst ? reverseBits(top, rootBits) : top;
    const std::uint32_t link = table[prefix];
    const std::uint32_t entry = symbolEntries[s] + rest + (rest << 8);
    fillCode(table.data() + huffPayload(link), huffCodeLength(link), c & ((1u << rest) - 1), rest,
             entry, order);
  }
  return HuffBuild::Ok;
}

} // namespace kyv::codec
