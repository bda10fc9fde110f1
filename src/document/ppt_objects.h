// Embedded objects of PowerPoint 97-2003 files. The "PowerPoint Document" stream is a run of
// records, each an 8-byte header (version in the low 4 bits and instance in the high 12 of a
// 16-bit word, a 16-bit type, a 32-bit length) and its body; version 0xF marks a container whose
// body is records again. An embedded object is an ExOleObjStg record (type 0x1011): its body is
// the object's compound file, stored as it is (instance 0) or compressed (instance 1: the 4-byte
// decompressed size, then a zlib stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/byte_io.h"

namespace kyv::document {

struct TPptObject {
  std::uint64_t Offset = 0; // of the record's body in the stream
  std::uint64_t Length = 0; // of the body, cut to the stream
  bool Compressed = false;
};

// One object per record; a hostile stream of nothing but tiny records is cut here, well above
// what a presentation holds and as high as the members one scan hands out.
inline constexpr std::size_t kMaxPptObjects = 100000;

// The embedded objects of a "PowerPoint Document" stream, in stream order.
std::vector<TPptObject> FindPptObjects(ByteSource& stream);

enum class TPptWrite { Complete, Damaged, SinkRefused };

// Writes an object's compound file: the body as it is, or decompressed.
TPptWrite WritePptObject(ByteSource& stream, const TPptObject& object, ByteSink& sink);

} // namespace kyv::document
