// A cursor over the bytes of one archive header that fails instead of reading past them:
// little-endian fields through the base loads, and RAR 5's variable-length numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "base/endian.h"
#include "unrar/rar_error.h"

namespace kyv::unrar {

class HeaderCursor {
public:
  explicit HeaderCursor(std::span<const std::byte> b) : b_(b) {}

  bool has(std::uint64_t n) const { return n <= b_.size() - pos_; }
  std::size_t pos() const { return pos_; }
  std::size_t size() const { return b_.size(); }
  std::size_t left() const { return b_.size() - pos_; }

  std::uint8_t u8() { return std::to_integer<std::uint8_t>(take(1)[0]); }
  std::uint16_t u16() { return loadLe16(take(2).data()); }
  std::uint32_t u32() { return loadLe32(take(4).data()); }
  // Seven bits a byte, low bits first, the top bit saying that more follow; at most 64 bits.
  std::uint64_t vint() {
    std::uint64_t v = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      const std::uint8_t b = u8();
      if (shift == 63 && (b & 0x7E) != 0)
        break;
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0)
        return v;
    }
    fail(ErrorKind::BadHeader, "variable-length number too long");
  }
  std::span<const std::byte> bytes(std::uint64_t n) { return take(n); }
  void seek(std::size_t p) {
    if (p > b_.size())
      fail(ErrorKind::BadHeader, "header field past the end of its header");
    pos_ = p;
  }

private:
  std::span<const std::byte> take(std::uint64_t n) {
    if (!has(n))
      fail(ErrorKind::BadHeader, "header field past the end of its header");
    const auto s = b_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return s;
  }

  std::span<const std::byte> b_;
  std::size_t pos_ = 0;
};

} // namespace kyv::unrar
