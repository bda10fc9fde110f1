// The RC4 stream cipher: a key of 1 to 256 bytes schedules a permutation whose output is XORed
// into the data; encrypting and decrypting are the same operation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::codec {

class Rc4 {
public:
  // An empty key is taken as one zero byte (the schedule needs at least one).
  explicit Rc4(std::span<const std::uint8_t> key);
  // XORs the next bytes of the key stream into data.
  void apply(std::span<std::byte> data);

private:
  std::array<std::uint8_t, 256> s_;
  std::uint8_t i_ = 0;
  std::uint8_t j_ = 0;
};

} // namespace kyv::codec
