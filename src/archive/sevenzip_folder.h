// Decoding one 7z folder: its coders joined as the bind pairs say, fed by its packed streams,
// its main output pushed into a sink as it is produced. Nothing of the folder is held whole:
// the main chain streams from the packed bytes to the sink, and a coder whose output another
// coder pulls from (the side inputs of BCJ2) is read piece by piece where it can be.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "archive/sevenzip_format.h"
#include "base/byte_io.h"

namespace kyv::archive::sevenzip {

enum class Method {
  Copy,
  Delta,
  X86,
  Bcj2,
  PowerPc,
  Ia64,
  Arm,
  ArmThumb,
  Sparc,
  Arm64,
  Lzma,
  Lzma2,
  Ppmd,
  Deflate,
  Deflate64,
  BZip2,
  Aes,
  Unknown
};
Method methodOf(const Coder& coder);
std::string methodName(const Coder& coder);

// Why a folder cannot be decoded before anything is tried: its data is encrypted, or one of its
// methods is not one this reader decodes.
struct Refusal {
  bool encrypted = false;
  std::string reason;
};
std::optional<Refusal> refuseFolder(const Folder& folder);

// Where one packed stream of the folder lies in the archive.
struct PackedRange {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Decodes the folder's main output into out, at most its declared size. Returns false when out
// refused a write (the caller's stop); raises EAbException on damaged data, a side stream over
// its memory cap, or a method refused as above.
bool decodeFolder(ByteSource& archive, const Folder& folder, std::span<const PackedRange> packed,
                  ByteSink& out);

} // namespace kyv::archive::sevenzip
