// CRC-32 (IEEE 802.3, reflected), its unreflected twin, Adler-32 (RFC 1950) and the 16-bit CRC
// of the old DOS archivers, incremental.
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

// The same polynomial fed most significant bit first, with no reflection (bzip2's block and
// stream checks; "CRC-32/BZIP2"). Running form like crc32Update: start with 0.
std::uint32_t crc32MsbUpdate(std::uint32_t crc, std::span<const std::byte> data);

// CRC-64 of xz (ECMA-182 polynomial, reflected; "CRC-64/XZ"). Running form: start with 0.
std::uint64_t crc64Update(std::uint64_t crc, std::span<const std::byte> data);

// Start with 1.
std::uint32_t adler32Update(std::uint32_t adler, std::span<const std::byte> data);

// CRC-16 with the polynomial x^16 + x^15 + x^2 + 1, reflected (0xA001), start 0, no final
// inversion: the member check of LZH archives. Start with 0.
std::uint16_t crc16Update(std::uint16_t crc, std::span<const std::byte> data);

} // namespace kyv::codec
