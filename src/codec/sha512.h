// SHA-512 and SHA-384 (FIPS 180-4), incremental: one compression function, two starting values;
// SHA-384 is SHA-512 from other starting values, cut to 48 bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/hash_blocks.h"

namespace kyv::codec {

class Sha512 {
public:
  enum class Variant { Sha384, Sha512 };
  explicit Sha512(Variant variant = Variant::Sha512);
  void update(std::span<const std::byte> data);
  // The digest of everything fed (48 or 64 bytes); the object is spent afterwards.
  std::vector<std::uint8_t> finish();

private:
  void compress(const std::uint8_t* block);

  std::array<std::uint64_t, 8> h_;
  std::size_t digestBytes_;
  HashBlocks<128> blocks_;
};

} // namespace kyv::codec
