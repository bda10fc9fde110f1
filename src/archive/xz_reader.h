// The .xz reader: every stream of the file (concatenated streams and the zero padding between
// them, as xz -d reads them) decoded into one output, with each block's integrity check, sizes
// and the index verified. A check that does not match does not stop decoding: the bytes are
// written and the outcome says so.
#pragma once

#include <span>

#include "archive/stream_outcome.h"
#include "base/byte_io.h"

namespace kyv::archive {

// Whether the head starts with the stream header magic.
bool isXzSignature(std::span<const std::byte> head);

StreamOutcome DecodeXz(ByteSource& file, ByteSink& out);

} // namespace kyv::archive
