// What kept the scan of one top-level file from being complete. It is kept beside the verdict,
// never in it: the verdict says what was found, this says what was not looked at, so that a front
// end can tell a clean file from one it could only partly read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "unpack/arc_info.h"

namespace kyv::unpack {

enum class TGapKind : std::uint8_t {
  MaxDepth,          // a container at the nesting limit was scanned but not unpacked
  MaxScanSize,       // the bytes written to member files reached the per-file budget
  MaxFiles,          // the members handed out reached the per-file cap
  MemberNotWritten,  // a member's temporary file could not be created or written
  ReadError,         // a file could not be opened or read
  Encrypted,         // a member is encrypted and was not decoded
  UnsupportedMethod, // a member uses a compression method no reader here decodes
  Damaged,           // a member's data is damaged or cut short (its check value does not match,
                     // its stream ends early, it continues in another volume): it was scanned
                     // as far as it could be read
  TooLarge,          // a file of 2 GiB or more: unpacked, but matched by no signature; or a
                     // file past a reader's size cap (a message over 512 MiB), not unpacked
};

// A short stable name for scripts and alert names: "MaxRecursion", "MaxScanSize", "MaxFiles",
// "MemberNotWritten", "ReadError", "Encrypted", "UnsupportedMethod", "Damaged", "TooLarge".
std::string_view GapKindName(TGapKind kind);
// The scan limits (depth, bytes, members, file size), as opposed to failures.
bool IsLimit(TGapKind kind);

struct TScanGap {
  TGapKind Kind = TGapKind::ReadError;
  // The chain to the container where it happened, outermost first; empty when it is the
  // top-level file itself (so ChainText(Chain) names a member container).
  TKYVArcInfoArray Chain;
  // The member concerned, when one is known.
  std::string ItemName;
  // What happened in words: the limit that was reached, or the system's reason text.
  std::string Reason;
};

using TScanGaps = std::vector<TScanGap>;

} // namespace kyv::unpack
