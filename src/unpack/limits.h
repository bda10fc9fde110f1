// Bounds of one top-level scan. Hostile containers nest themselves, expand without end or hold
// millions of members; these caps end such a scan in an orderly way with what was found so far.
#pragma once

#include <cstdint>

namespace kyv::unpack {

// A member at this depth is scanned but not unpacked further, so a zip that holds itself ends.
// Real mail rarely nests past four or five levels.
inline constexpr int kMaxDepth = 32;
// Bytes written to member files for one top-level file, all levels together. They are charged
// as they are written, never after a member is whole. The member being written when the budget
// runs out is handed on as far as it got, so a payload placed before padding is still scanned;
// the file is then recorded as not fully scanned.
inline constexpr std::uint64_t kMaxBytesPerScan = std::uint64_t{1} << 30;
// Members handed out for one top-level file, all levels together.
inline constexpr std::uint32_t kMaxMembersPerScan = 100000;
// The member cut off by the budget is often itself a container (the tar inside a tar.gz is
// written first, padding and all): its own unpacking gets this much more, once per top-level
// file, so that what stands at its start is reached. Small beside the budget, so a hostile file
// gains little from it.
inline constexpr std::uint64_t kGraceBytes = std::uint64_t{64} << 20;
inline constexpr std::uint32_t kGraceMembers = 1000;

// The caps one unpacker applies; the defaults above unless a front end asks for others.
struct TScanLimits {
  int MaxDepth = kMaxDepth;
  std::uint64_t MaxScanSize = kMaxBytesPerScan;
  std::uint32_t MaxFiles = kMaxMembersPerScan;
};

// The bomb size limit of the optional decompression-bomb test.
inline constexpr std::uint64_t MailBombSize = 10000000;

} // namespace kyv::unpack
