// The embedded objects of an RTF document. An object is an \object group; its data is the
// \objdata destination inside it, hex digits that Word decodes while it skips blanks, line
// breaks, any other character that is no hex digit, control words and symbols, and whole groups
// nested in the destination; \binN bytes are taken as they are; a last odd digit is dropped.
// What the hex gives is an OLE1 object (document/ole1_object.h). \objdata found outside an
// \object group is decoded too, since a sender can place it anywhere Word still reads it.
//
// Pictures (\pict) are left alone, except one inside an object's \result, the picture Word shows
// for the object, which is decoded as objdata is and given as well.
//
// Groups nest without recursion; past kRtfMaxDepth the nesting is only counted (braces still
// pair up) and what lies that deep is not looked at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace kyv::document {

struct TRtfObject {
  enum class TKind { Object, Picture };
  TKind Kind = TKind::Object;
  std::vector<std::byte> Data;
  bool Cut = false; // it held more than the byte limit allowed
};

// Far beyond what any writer produces (Word's own documents nest a few dozen groups deep).
inline constexpr std::size_t kRtfMaxDepth = 10000;

struct TRtfScan {
  std::size_t Objects = 0;
  bool DepthCut = false; // groups nested past kRtfMaxDepth were not looked at
};

// Calls onObject for each object and picture in document order; it returns false to stop.
// Each one's data is kept to maxObjectBytes.
TRtfScan ScanRtfObjects(std::span<const std::byte> rtf, std::uint64_t maxObjectBytes,
                        const std::function<bool(TRtfObject&)>& onObject);

} // namespace kyv::document
