// The .bz2 reader: every stream of the file (streams written one after another, as parallel
// compressors and `cat` make them) decoded into one output, as `bzip2 -d` reads them. A block
// whose check does not match does not stop decoding: its bytes are written and the outcome says
// so; so does damage, after what was decoded before it.
#pragma once

#include <span>

#include "archive/stream_outcome.h"
#include "base/byte_io.h"

namespace kyv::archive {

// Whether the head starts a bzip2 stream: "BZh", a level from 1 to 9 and the first block's magic
// (or the end-of-stream marker of an empty stream).
bool isBzip2Signature(std::span<const std::byte> head);

StreamOutcome DecodeBzip2(ByteSource& file, ByteSink& out);

} // namespace kyv::archive
