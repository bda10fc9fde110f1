// The message buffering the Merkle-Damgard hashes share (MD5, SHA-256, SHA-384/512): input
// gathered into whole blocks for the compression function, and the closing padding (a one bit,
// zeros, the message length in bits at the end of the last block).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace kyv::codec {

template <std::size_t Block> class HashBlocks {
public:
  // compress(const std::uint8_t* block) is called for each whole block.
  template <class Compress> void update(std::span<const std::byte> data, Compress&& compress) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(data.data());
    std::size_t n = data.size();
    length_ += n;
    if (buffered_ > 0) {
      const std::size_t take = std::min(n, Block - buffered_);
      std::memcpy(buffer_.data() + buffered_, p, take);
      buffered_ += take;
      p += take;
      n -= take;
      if (buffered_ < Block)
        return;
      compress(buffer_.data());
      buffered_ = 0;
    }
    for (; n >= Block; n -= Block, p += Block)
      compress(p);
    if (n > 0)
      std::memcpy(buffer_.data(), p, n);
    buffered_ = n;
  }

  // The padding, with the length in the last lengthBytes bytes of the final block (big-endian
  // for the SHA family, little-endian for MD5).
  template <class Compress>
  void finish(std::size_t lengthBytes, bool bigEndian, Compress&& compress) {
    const std::uint64_t bits = length_ * 8;
    buffer_[buffered_++] = 0x80;
    if (buffered_ > Block - lengthBytes) {
      std::memset(buffer_.data() + buffered_, 0, Block - buffered_);
      compress(buffer_.data());
      buffered_ = 0;
    }
    std::memset(buffer_.data() + buffered_, 0, Block - buffered_);
    for (std::size_t i = 0; i < 8; ++i)
      buffer_[bigEndian ? Block - 1 - i : Block - lengthBytes + i] =
          static_cast<std::uint8_t>(bits >> (8 * i));
    compress(buffer_.data());
  }

private:
  std::array<std::uint8_t, Block> buffer_{};
  std::size_t buffered_ = 0;
  std::uint64_t length_ = 0; // bytes fed
};

} // namespace kyv::codec
