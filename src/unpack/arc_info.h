// The container chain: how a member was reached, outermost container first.
#pragma once

#include <string>
#include <vector>

namespace kyv::unpack {

struct TKYVArcInfo {
  std::string ArcFile;  // the container on disk (top-level file or an outer member's temp file)
  std::string ArcType;  // "ZIP", "CAB", "RAR", "GZIP", "TAR", "CHM" or "E-MAIL:" + encoding
  std::string ItemName; // the member's name inside the container
  std::string ItemFile; // the temporary file that holds the extracted member
};

// A value: extending it for a member never changes the caller's chain.
using TKYVArcInfoArray = std::vector<TKYVArcInfo>;

// "C:\in\a.eml/{E-MAIL:base64}/b.zip/{ZIP}/c.exe"; empty for an empty chain.
std::string ChainText(const TKYVArcInfoArray& chain);

} // namespace kyv::unpack
