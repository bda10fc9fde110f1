// The AES block cipher (FIPS 197) with keys of 128, 192 or 256 bits, and the CBC mode of
// SP 800-38A over whole blocks (padding is the caller's business).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::codec {

class Aes {
public:
  static constexpr std::size_t kBlock = 16;
  // key: 16, 24 or 32 bytes; any other size is a programming error and throws.
  explicit Aes(std::span<const std::uint8_t> key);
  void encryptBlock(std::uint8_t* block) const; // in place
  void decryptBlock(std::uint8_t* block) const;

  // CBC over data, a multiple of kBlock bytes (any tail is left as it is), in place; iv is updated
  // so that a longer message may be fed in pieces.
  void cbcEncrypt(std::array<std::uint8_t, kBlock>& iv, std::span<std::byte> data) const;
  void cbcDecrypt(std::array<std::uint8_t, kBlock>& iv, std::span<std::byte> data) const;

private:
  int rounds_;
  // Round keys as column words (row 0 in the low byte), four a round; the decryption's have the
  // inverse column mixing applied, so that each round is four table lookups a column.
  std::array<std::uint32_t, 4 * 15> encryptKeys_{};
  std::array<std::uint32_t, 4 * 15> decryptKeys_{};
};

} // namespace kyv::codec
