// Decoders of the ZIP methods older than Deflate: shrink (1), reduce (2 to 5) and implode (6),
// and the traditional PKWARE decryption that may wrap any member's data.
#pragma once

#include <cstdint>
#include <string>

#include "archive/pkware_crypt.h"
#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::size_t kZipEncryptionHeaderSize = 12;

// Reads the 12-byte encryption header from source with password and tells whether its last byte
// matches the top byte of checkValue. The keys are left ready for the data when it does.
bool CheckEncryptionHeader(ByteSource& source, PkwareKeys& keys, std::uint32_t checkValue);

// A source that decrypts another one as it is read.
class TAbZDecoder final : public ByteSource {
public:
  TAbZDecoder(ByteSource& inner, PkwareKeys keys) : inner_(inner), keys_(keys) {}
  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t) override { return false; } // a key stream only runs forward
  std::uint64_t size() const override { return inner_.size(); }
  std::uint64_t position() const override { return inner_.position(); }

private:
  ByteSource& inner_;
  PkwareKeys keys_;
};

// Runs one legacy method over at most compressedSize bytes of input and writes exactly
// uncompressedSize bytes (or fails). Returns the CRC-32 of what was written.
// method: 1 unshrink, 2-5 unreduce with factor method-1, 6 explode (flags: bit 1 8 KiB
// dictionary, bit 2 literal tree).
class TAbUnzipHelper {
public:
  TAbUnzipHelper(ByteSource& input, ByteSink& output, std::uint64_t compressedSize,
                 std::uint64_t uncompressedSize, std::uint8_t method, std::uint16_t flags);
  std::uint32_t Execute();

private:
  ByteSource& input_;
  ByteSink& output_;
  std::uint64_t compressedSize_;
  std::uint64_t uncompressedSize_;
  std::uint8_t method_;
  std::uint16_t flags_;
};

} // namespace kyv::archive
