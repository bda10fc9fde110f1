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
    b[pos / 8] =
        static_cast<std::uint8_t>(((value >> bit) & 1) ? b[pos / 8] | mask : b[pos / 8] & ~mask);
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

void itaniumDecode(std::span<std::uint8_t> data, std::uint32_t firstBundle, ItaniumForm form) {
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
      if (bundleBits(b, at + 37, 4) != 5)
        continue;
      if (form == ItaniumForm::Narrow) {
        const std::uint32_t target = bundleBits(b, at + 13, 20);
        setBundleBits(b, at + 13, 20, (target - bundle) & 0xFFFFF);
      } else if (bundleBits(b, at + 9, 3) == 0) {
        const std::uint32_t target = bundleBits(b, at + 13, 20) | (bundleBits(b, at + 36, 1) << 20);
        const std::uint32_t back = target - bundle;
        setBundleBits(b, at + 13, 20, back & 0xFFFFF);
        setBundleBits(b, at + 36, 1, (back >> 20) & 1);
      }
    }
  }
}

void deltaDecode(std::span<const std::uint8_t> src, std::span<std::uint8_t> dst,
                 std::uint32_t channels) {
  std::size_t s = 0;
  for (std::uint32_t ch = 0; ch < channels; ++ch) {
    std::uint8_t prev = 0;
    for (std::size_t i = ch; i < dst.size() && s < src.size(); i += channels)
      dst[i] = prev = static_cast<std::uint8_t>(prev - src[s++]);
  }
}

namespace {

std::uint32_t load32be(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
void store32be(std::uint8_t* p, std::uint32_t v) {
  for (int k = 0; k < 4; ++k)
    p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

// The high byte of an x86 call target the encoder converts: only near targets (0x00 or 0xFF).
bool nearHighByte(std::uint8_t b) { return b == 0 || b == 0xFF; }

// PowerPC "bl" (opcode 18 with AA=0, LK=1), big-endian: a 24-bit word offset.
std::size_t powerPc(std::span<std::uint8_t> d, std::uint32_t pos) {
  std::size_t i = 0;
  for (; i + 4 <= d.size(); i += 4) {
    std::uint8_t* p = d.data() + i;
    if ((p[0] >> 2) != 0x12 || (p[3] & 3) != 1)
      continue;
    const std::uint32_t target = load32be(p) & 0x03FFFFFC;
    const std::uint32_t back = target - (pos + static_cast<std::uint32_t>(i));
    store32be(p, 0x48000000 | (back & 0x03FFFFFC) | 1);
  }
  return i;
}

// SPARC "call": a 30-bit word offset, converted only when it is near (its top bits all equal).
std::size_t sparc(std::span<std::uint8_t> d, std::uint32_t pos) {
  std::size_t i = 0;
  for (; i + 4 <= d.size(); i += 4) {
    std::uint8_t* p = d.data() + i;
    if (!((p[0] == 0x40 && (p[1] & 0xC0) == 0) || (p[0] == 0x7F && (p[1] & 0xC0) == 0xC0)))
      continue;
    std::uint32_t v = (load32be(p) << 2) - (pos + static_cast<std::uint32_t>(i));
    v >>= 2;
    v = (((0u - ((v >> 22) & 1)) << 22) & 0x3FFFFFFF) | (v & 0x3FFFFF) | 0x40000000;
    store32be(p, v);
  }
  return i;
}

// Thumb BL: two 16-bit halves (F000 high part, F800 low part) holding a 22-bit halfword offset
// counted from the instruction plus 4.
std::size_t armThumb(std::span<std::uint8_t> d, std::uint32_t pos) {
  std::size_t i = 0;
  for (; i + 4 <= d.size(); i += 2) {
    std::uint8_t* p = d.data() + i;
    if ((p[1] & 0xF8) != 0xF0 || (p[3] & 0xF8) != 0xF8)
      continue;
    const std::uint32_t target =
        (((static_cast<std::uint32_t>(p[1]) & 7) << 19) | (p[0] << 11) | ((p[3] & 7) << 8) | p[2])
        << 1;
    const std::uint32_t back = (target - (pos + static_cast<std::uint32_t>(i) + 4)) >> 1;
    p[1] = static_cast<std::uint8_t>(0xF0 | ((back >> 19) & 7));
    p[0] = static_cast<std::uint8_t>(back >> 11);
    p[3] = static_cast<std::uint8_t>(0xF8 | ((back >> 8) & 7));
    p[2] = static_cast<std::uint8_t>(back);
    i += 2;
  }
  return i;
}

// AArch64 BL (26-bit word offset) and ADRP (21-bit page offset, converted only within +-512 MiB
// so that data that merely looks like ADRP is mostly left alone).
std::size_t arm64(std::span<std::uint8_t> d, std::uint32_t pos) {
  std::size_t i = 0;
  for (; i + 4 <= d.size(); i += 4) {
    std::uint8_t* p = d.data() + i;
    std::uint32_t insn = load32(p);
    const std::uint32_t pc = pos + static_cast<std::uint32_t>(i);
    if ((insn >> 26) == 0x25) {
      insn = 0x94000000 | ((insn - (pc >> 2)) & 0x03FFFFFF);
      store32(p, insn);
    } else if ((insn & 0x9F000000) == 0x90000000) {
      const std::uint32_t page = ((insn >> 29) & 3) | ((insn >> 3) & 0x001FFFFC);
      if (((page + 0x00020000) & 0x001C0000) != 0)
        continue;
      const std::uint32_t back = page - (pc >> 12);
      insn &= 0x9000001F;
      insn |= (back & 3) << 29;
      insn |= (back & 0x0003FFFC) << 3;
      insn |= (0u - (back & 0x00020000)) & 0x00E00000;
      store32(p, insn);
    }
  }
  return i;
}

} // namespace

std::size_t BranchConverter::x86(std::span<std::uint8_t> d) {
  // Per value of the mask of recent opcode bytes: whether an opcode here may still be converted,
  // and which operand byte (counted back from the last) the encoder looked at to decide.
  static constexpr std::array<bool, 8> kAllowed{true, true, true, false, true, false, false, false};
  static constexpr std::array<std::uint32_t, 8> kCheckByte{0, 1, 2, 2, 3, 3, 3, 3};
  if (d.size() < 5)
    return 0;
  const std::size_t limit = d.size() - 4;
  std::uint32_t mask = x86Mask_;
  // Position of the byte the mask counts from: the one just before the piece (index -1, so
  // that i - last wraps to i + 1) until an opcode byte is met here.
  std::size_t i = 0;
  std::size_t last = static_cast<std::size_t>(-1);
  while (i < limit) {
    if ((d[i] & 0xFE) != 0xE8) {
      ++i;
      continue;
    }
    // Age the mask by the distance from the previous opcode byte.
    const std::size_t gap = i - last;
    if (gap > 3) {
      mask = 0;
    } else {
      mask = (mask << (gap - 1)) & 7;
      if (mask != 0 && (!kAllowed[mask] || nearHighByte(d[i + 4 - kCheckByte[mask]]))) {
        last = i;
        mask = ((mask << 1) & 7) | 1;
        ++i;
        continue;
      }
    }
    last = i;
    if (!nearHighByte(d[i + 4])) {
      mask = ((mask << 1) & 7) | 1;
      ++i;
      continue;
    }
    std::uint32_t target = load32(&d[i + 1]);
    std::uint32_t back = 0;
    const std::uint32_t next = pos_ + static_cast<std::uint32_t>(i) + 5;
    for (;;) {
      back = target - next;
      if (mask == 0)
        break;
      const std::uint32_t shift = kCheckByte[mask] * 8;
      if (!nearHighByte(static_cast<std::uint8_t>(back >> (24 - shift))))
        break;
      target = back ^ ((1u << (32 - shift)) - 1);
    }
    // Bit 24 decides the sign the high byte gets back.
    back = (back & 0x00FFFFFF) | ((back & 0x01000000) != 0 ? 0xFF000000 : 0);
    store32(&d[i + 1], back);
    i += 5;
  }
  const std::size_t gap = i - last;
  x86Mask_ = gap > 3 ? 0 : (mask << (gap - 1)) & 7;
  return i;
}

std::size_t BranchConverter::decode(std::span<std::uint8_t> data) {
  std::size_t done = 0;
  switch (arch_) {
  case BranchArch::X86:
    done = x86(data);
    break;
  case BranchArch::PowerPc:
    done = powerPc(data, pos_);
    break;
  case BranchArch::Sparc:
    done = sparc(data, pos_);
    break;
  case BranchArch::ArmThumb:
    done = armThumb(data, pos_);
    break;
  case BranchArch::Arm64:
    done = arm64(data, pos_);
    break;
  case BranchArch::Arm:
    done = data.size() & ~std::size_t{3};
    armDecode(data.first(done), pos_ + 8); // the offset counts from the instruction plus 8
    break;
  case BranchArch::Ia64:
    done = data.size() & ~std::size_t{15};
    itaniumDecode(data.first(done), pos_ >> 4, ItaniumForm::Wide);
    break;
  }
  pos_ += static_cast<std::uint32_t>(done);
  return done;
}

void DeltaDecoder::decode(std::span<std::uint8_t> data) {
  for (std::uint8_t& b : data) {
    b = static_cast<std::uint8_t>(b + history_[at_]);
    history_[at_] = b;
    if (++at_ == distance_)
      at_ = 0;
  }
}

} // namespace kyv::codec
