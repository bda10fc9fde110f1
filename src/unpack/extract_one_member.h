// Compressed files that hold one stream and no directory (xz, .lzma, bzip2): one member, named
// after the file with its compression suffix taken off, decoded straight into the level's
// member file. Whatever was decoded is delivered; what kept it from being whole is recorded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "archive/stream_outcome.h"
#include "base/byte_io.h"
#include "unpack/arc_info.h"

namespace kyv::unpack {

class TKYVDecompress;

struct OneMemberFormat {
  const char* type; // the chain's container type: "XZ", "LZMA", ...
  // Suffixes taken off the file's name, with what replaces them ("tar" for ".txz"); matched
  // without regard to case. A name with none of them gives the member "unknown".
  std::span<const std::pair<std::string_view, std::string_view>> suffixes;
  // Decodes the whole file into out.
  archive::StreamOutcome (*decode)(ByteSource& file, ByteSink& out);
  // The output size the file declares before any of it is decoded, when it declares one;
  // may be null.
  std::optional<std::uint64_t> (*declaredSize)(ByteSource& file) = nullptr;
};

// The member's name for a container name (the chain's last item name, or the file's own name).
std::string OneMemberName(std::string_view containerName, const OneMemberFormat& format);

void ExtractOneMember(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                      const OneMemberFormat& format);

} // namespace kyv::unpack
