// CRC-32 (IEEE 802.3, reflected) and Adler-32 (RFC 1950), incremental.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::codec {

// Running form: start with 0 and feed pieces; the value after each call is the final CRC-32 of
// everything fed so far (the pre/post inversion is done inside).
std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::byte> data);
// The raw table, for decoders that need the byte-wise step (PKWARE decryption).
std::uint32_t crc32Byte(std::uint32_t rawCrc, std::uint8_t byte);

// Start with 1.
std::uint32_t adler32Update(std::uint32_t adler, std::span<const std::byte> data);

} // namespace kyv::codec
