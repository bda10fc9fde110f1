#include "unrar/old_unicode_name.h"

#include <cstddef>
#include <cstdint>

namespace kyv::unrar {
namespace {

// Longest name the format's tools write.
constexpr std::size_t kMaxNameLength = 1024;

// Flag values of one character.
constexpr unsigned kLowByte = 0;    // one byte, high byte zero
constexpr unsigned kSharedHigh = 1; // one byte, the shared high byte
constexpr unsigned kFullUnit = 2;   // a little-endian 16-bit unit

class NameDecoder {
public:
  NameDecoder(std::span<const std::byte> narrow, std::span<const std::byte> enc)
      : narrow_(narrow), enc_(enc), high_(byteAt(0)) {}

  std::u16string run() {
    pos_ = 1;
    while (pos_ < enc_.size() && out_.size() < kMaxNameLength) {
      if (flagBits_ == 0) {
        flags_ = byteAt(pos_++);
        flagBits_ = 8;
      }
      if (!step(flags_ >> 6))
        break;
      flags_ = (flags_ << 2) & 0xFF;
      flagBits_ -= 2;
    }
    return std::move(out_);
  }

private:
  unsigned byteAt(std::size_t i) const { return std::to_integer<unsigned>(enc_[i]); }
  bool has(std::size_t n) const { return n <= enc_.size() - pos_; }
  unsigned narrowAt(std::size_t i) const {
    return i < narrow_.size() ? std::to_integer<unsigned>(narrow_[i]) : 0;
  }

  // One character or run; false when the encoded bytes end inside it.
  bool step(unsigned kind) {
    if (kind == kLowByte || kind == kSharedHigh) {
      if (!has(1))
        return false;
      out_.push_back(
          static_cast<char16_t>(byteAt(pos_++) + (kind == kSharedHigh ? high_ << 8 : 0)));
      return true;
    }
    if (kind == kFullUnit) {
      if (!has(2))
        return false;
      out_.push_back(static_cast<char16_t>(byteAt(pos_) | (byteAt(pos_ + 1) << 8)));
      pos_ += 2;
      return true;
    }
    // A run from the narrow name: length + 2 characters, with the top bit a byte correction
    // added to each and the shared high byte.
    if (!has(1))
      return false;
    unsigned length = byteAt(pos_++);
    if ((length & 0x80) == 0) {
      for (length += 2; length > 0 && out_.size() < kMaxNameLength; --length)
        out_.push_back(static_cast<char16_t>(narrowAt(out_.size())));
      return true;
    }
    if (!has(1))
      return false;
    const unsigned correction = byteAt(pos_++);
    for (length = (length & 0x7F) + 2; length > 0 && out_.size() < kMaxNameLength; --length)
      out_.push_back(
          static_cast<char16_t>(((narrowAt(out_.size()) + correction) & 0xFF) + (high_ << 8)));
    return true;
  }

  std::span<const std::byte> narrow_;
  std::span<const std::byte> enc_;
  unsigned high_;
  std::size_t pos_ = 0;
  unsigned flags_ = 0;
  unsigned flagBits_ = 0;
  std::u16string out_;
};

} // namespace

std::u16string decodeOldUnicodeName(std::span<const std::byte> narrow,
                                    std::span<const std::byte> encoded) {
  if (encoded.empty())
    return {};
  return NameDecoder(narrow, encoded).run();
}

} // namespace kyv::unrar
