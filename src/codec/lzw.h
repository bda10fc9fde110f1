// LZW decoding as documents and TIFF use it: codes of 9 to 12 bits, most significant bit first,
// 256 clears the table, 257 ends the data. With "early change" (the default of documents) the code
// width grows one code before the table needs it.
#pragma once

#include <cstdint>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] LzwStatus{
    Ok,           // the end code was read, or the input ended between codes
    BadCode,      // a code past the next free table entry; what came before is written
    WriteRefused, // the sink refused a write
};

// Decodes the source from its current position to its end into out.
LzwStatus lzwDecode(ByteSource& in, ByteSink& out, bool earlyChange = true);

} // namespace kyv::codec
