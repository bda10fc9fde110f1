// MD5 (RFC 1321), incremental. Broken as a signature hash, but still how documents of the older
// encryption schemes derive their keys.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/hash_blocks.h"

namespace kyv::codec {

class Md5 {
public:
  Md5();
  void update(std::span<const std::byte> data);
  // The digest of everything fed; the object is spent afterwards.
  std::array<std::uint8_t, 16> finish();

private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 4> h_;
  HashBlocks<64> blocks_;
};

} // namespace kyv::codec
