#include "plugin/verdict.h"

#include "base/text.h"

namespace kyv::plugin {

void AddFinding(std::string& verdictText, std::int32_t& verdictCode, std::int32_t result,
                std::string_view foundName) {
  if (result == 1) {
    AppendName(verdictText, foundName, ",");
    verdictCode = 1;
  } else if (result == 2) {
    AppendName(verdictText, std::string(kSuspiciousPrefix) + std::string(foundName), ",");
    if (verdictCode == 0)
      verdictCode = 2;
  }
}

} // namespace kyv::plugin
