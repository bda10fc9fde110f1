// SHA-256 (FIPS 180-4), incremental: the strongest of the integrity checks an xz stream may carry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/hash_blocks.h"

namespace kyv::codec {

class Sha256 {
public:
  Sha256();
  void update(std::span<const std::byte> data);
  // The digest of everything fed; the object is spent afterwards.
  std::array<std::uint8_t, 32> finish();

private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> h_;
  HashBlocks<64> blocks_;
};

} // namespace kyv::codec
