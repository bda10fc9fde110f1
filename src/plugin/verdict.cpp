#include "plugin/verdict.h"

#include "base/text.h"

namespace kyv::plugin {

void AddFinding(std::string& verdictText, std::int32_t& verdictCode, std::int32_t result,
                std::string_view foundName) {
  if (result == 1) {
    AppendName(verdictText, foundName, ",");
    verdictCode = 1;
  } else if (result == 2) {
    std::string name;
    name.reserve(kSuspiciousPrefix.size() + foundName.size());
    name.append(kSuspiciousPrefix).append(foundName);
    AppendName(verdictText, name, ",");
    if (verdictCode == 0)
      verdictCode = 2;
  }
}

} // namespace kyv::plugin
