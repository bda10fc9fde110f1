// The legacy .lzma file ("LZMA alone"): a 13-byte header (the properties byte, the dictionary
// size and the uncompressed size, all ones when unknown) and one LZMA stream.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "archive/stream_outcome.h"
#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::size_t kLzmaAloneHeaderSize = 13;

// A conservative test of the head, since the format has no magic: a valid properties byte, a
// dictionary of 2^n or 2^n + 2^(n-1) bytes from 4 KiB to 1.5 GiB (what the producers write), a
// known size from 1 to 2^40 - 1 or all ones, and the range coder's first byte, zero. Pure.
bool looksLikeLzmaAlone(std::span<const std::byte> head);

// The uncompressed size the header declares, when it declares one.
std::optional<std::uint64_t> lzmaAloneDeclaredSize(std::span<const std::byte> head);

StreamOutcome DecodeLzmaAlone(ByteSource& file, ByteSink& out);

} // namespace kyv::archive
