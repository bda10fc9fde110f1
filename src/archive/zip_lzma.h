// ZIP method 14: LZMA behind a 4-byte header of its own (the encoder's version, 2 bytes, and the
// size of the properties that follow, 2 bytes, little-endian), then the 5 property bytes and the
// stream. General-purpose bit 1 says an end marker follows the data; the size is always known
// from the directory, so decoding stops there either way.
#pragma once

#include <cstdint>

#include "base/byte_io.h"

namespace kyv::archive {

// Version needed to extract an LZMA member (6.3).
inline constexpr unsigned kZipLzmaVersionNeeded = 63;

// Decodes uncompressedSize bytes into out and returns their CRC-32; a damaged or refused member
// raises (EAbException family) after writing what was decoded.
std::uint32_t UnzipLzma(ByteSource& in, ByteSink& out, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize);

} // namespace kyv::archive
