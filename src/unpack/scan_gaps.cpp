#include "unpack/scan_gaps.h"

namespace kyv::unpack {

std::string_view GapKindName(TGapKind kind) {
  switch (kind) {
  case TGapKind::MaxDepth:
    return "MaxRecursion";
  case TGapKind::MaxScanSize:
    return "MaxScanSize";
  case TGapKind::MaxFiles:
    return "MaxFiles";
  case TGapKind::MemberNotWritten:
    return "MemberNotWritten";
  case TGapKind::ReadError:
    return "ReadError";
  case TGapKind::Encrypted:
    return "Encrypted";
  case TGapKind::UnsupportedMethod:
    return "UnsupportedMethod";
  case TGapKind::Damaged:
    return "Damaged";
  case TGapKind::TooLarge:
    return "TooLarge";
  }
  return "Unknown";
}

bool IsLimit(TGapKind kind) {
  return kind == TGapKind::MaxDepth || kind == TGapKind::MaxScanSize ||
         kind == TGapKind::MaxFiles || kind == TGapKind::TooLarge;
}

} // namespace kyv::unpack
