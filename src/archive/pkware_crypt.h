// Traditional PKWARE encryption (the ZIP "ZipCrypto" stream cipher): key state, the 12-byte
// encryption header check and a source that decrypts what it reads from another source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::size_t kPkwareHeaderSize = 12;

// The three 32-bit keys, initialised from a password.
class PkwareKeys {
public:
  explicit PkwareKeys(std::string_view password);
  // Decrypts in place, advancing the keys with each plain byte.
  void decrypt(std::span<std::byte> data);
  std::uint8_t decryptByte(std::uint8_t cipher);

private:
  void update(std::uint8_t plain);
  std::uint32_t k0_ = 0x12345678u;
  std::uint32_t k1_ = 0x23456789u;
  std::uint32_t k2_ = 0x34567890u;
};

// Decrypts a copy of an encryption header and compares its last byte with checkByte (the top
// byte of the member's CRC-32, or of its DOS time when the sizes follow the data).
bool checkPkwareHeader(std::string_view password,
                       std::span<const std::byte, kPkwareHeaderSize> header,
                       std::uint8_t checkByte);

// A source that reads an encrypted member from the base source's position at construction and
// hands out plain bytes. The encryption header is part of what it reads: call ReadHeader first.
// Seeking restarts the cipher from the first byte and reads forward to the target.
class TAbDfDecryptStream final : public ByteSource {
public:
  enum class Header { Ok, WrongPassword, Truncated };

  TAbDfDecryptStream(ByteSource& base, std::string_view password);
  // Reads and decrypts the 12-byte header and checks its last byte against checkByte.
  Header ReadHeader(std::uint8_t checkByte);

  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t offset) override;
  std::uint64_t size() const override;
  std::uint64_t position() const override { return pos_; }

private:
  ByteSource& base_;
  std::string password_;
  PkwareKeys keys_;
  std::uint64_t start_;
  std::uint64_t pos_ = 0;
};

} // namespace kyv::archive
