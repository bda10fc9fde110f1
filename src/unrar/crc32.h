// CRC-32 (IEEE 802.3, reflected), the checksum of RAR headers and member data. The module keeps
// its own copy so that the shared library needs nothing from the rest of the system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::unrar {

// Running form: start with 0; the value after each call is the final CRC of everything so far.
std::uint32_t crc32(std::uint32_t crc, std::span<const std::byte> data);

} // namespace kyv::unrar
