#include "codec/branch_filters.h"

#include <array>
#include <cstring>

namespace kyv::codec {

namespace {

std::uint32_t load32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void store32(std::uint8_t* p, std::uint32_t v) {
  for (int k = 0; k < 4; ++k)
    p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

constexpr std::size_t kBundle = 16;

// A bit field of an Itanium bundle, least significant bit first; never reads or writes past the
// bundle's 16 bytes.
std::uint32_t bundleBits(const std::uint8_t* b, unsigned pos, unsigned count) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < 4 && pos / 8 + i < kBundle; ++i)
    v |= std::uint64_t{b[pos / 8 + i]} << (8 * i);
  return static_cast<std::uint32_t>((v >> (pos & 7)) & ((std::uint64_t{1} << count) - 1));
}
void setBundleBits(std::uint8_t* b, unsigned pos, unsigned count, std::uint32_t value) {
  for (unsigned bit = 0; bit < count; ++bit, ++pos) {
    const auto mask = static_cast<std::uint8_t>(1u << (pos & 7));
    b[pos / 8] = static_cast<std::uint8_t>(((value >> bit) & 1) ? b[pos / 8] | mask : b[pos / 8] & ~mask);
  }
}

// Branch slots per bundle template (templates 0x10-0x1F; the others have none): bit n = slot n.
constexpr std::array<std::uint8_t, 16> kBranchSlots{4, 4, 6, 6, 0, 0, 7, 7, 4, 4, 0, 0, 4, 4, 0, 0};

} // namespace

void x86Decode(std::span<std::uint8_t> data, std::size_t scanEnd, const X86Filter& f) {
  std::uint8_t* const p = data.data();
  std::size_t i = 0;
  while (i < scanEnd) {
    if (f.alsoE9) {
      while (i < scanEnd && (p[i] & 0xFE) != 0xE8)
        ++i;
      if (i == scanEnd)
        break;
    } else {
      const void* hit = std::memchr(p + i, 0xE8, scanEnd - i);
      if (hit == nullptr)
        break;
      i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    }
    const auto cur = static_cast<std::int64_t>((f.start + i + f.operandBias) & f.positionMask);
    const auto target = static_cast<std::int32_t>(load32(p + i + 1));
    if (target >= -cur && target < f.size)
      store32(p + i + 1, static_cast<std::uint32_t>(target >= 0 ? target - cur : target + f.size));
    i += 5;
  }
}

void armDecode(std::span<std::uint8_t> data, std::uint32_t start) {
  for (std::size_t i = 0; i + 4 <= data.size(); i += 4) {
    std::uint8_t* p = data.data() + i;
    if (p[3] != 0xEB)
      continue;
    std::uint32_t offset = p[0] | (p[1] << 8) | (p[2] << 16);
    offset -= (start + static_cast<std::uint32_t>(i)) / 4;
    p[0] = static_cast<std::uint8_t>(offset);
    p[1] = static_cast<std::uint8_t>(offset >> 8);
    p[2] = static_cast<std::uint8_t>(offset >> 16);
  }
}

void itaniumDecode(std::span<std::uint8_t> data, std::uint32_t firstBundle) {
  std::uint32_t bundle = firstBundle;
  for (std::size_t pos = 0; pos + kBundle <= data.size(); pos += kBundle, ++bundle) {
    std::uint8_t* b = data.data() + pos;
    const int tmpl = (b[0] & 0x1F) - 0x10;
    if (tmpl < 0 || kBranchSlots[static_cast<std::size_t>(tmpl)] == 0)
      continue;
    for (unsigned slot = 0; slot < 3; ++slot) {
      if ((kBranchSlots[static_cast<std::size_t>(tmpl)] & (1u << slot)) == 0)
        continue;
      const unsigned at = 5 + 41 * slot; // slots are 41 bits after the 5-bit template
      if (bundleBits(b, at + 37, 4) == 5) {
        const std::uint32_t target = bundleBits(b, at + 13, 20);
        setBundleBits(b, at + 13, 20, (target - bundle) & 0xFFFFF);
      }
    }
  }
}

void deltaDecode(std::span<const std::uint8_t> src, std::span<std::uint8_t> dst, std::uint32_t channels) {
  std::size_t s = 0;
  for (std::uint32_t ch = 0; ch < channels; ++ch) {
    std::uint8_t prev = 0;
    for (std::size_t i = ch; i < dst.size() && s < src.size(); i += channels)
      dst[i] = prev = static_cast<std::uint8_t>(prev - src[s++]);
  }
}

} // namespace kyv::codec
