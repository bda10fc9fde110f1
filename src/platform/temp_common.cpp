// A private folder under a shared one, for systems with no mkdtemp (Windows): names drawn at
// random until one is free, kept apart from the system calls so the drawing can be tested anywhere.
#include <cstdio>

#include "platform/system.h"

namespace kyv::platform {

namespace {
// Random 64-bit names collide by chance essentially never; this many taken in a row means
// someone plants them as fast as they are drawn, and the scan gives up rather than spin.
constexpr int kMaxTaken = 1000;
} // namespace

std::string
makeUniqueFolder(const std::string& root, std::string_view prefix,
                 const std::function<std::uint64_t()>& random,
                 const std::function<MakeFolderResult(const std::string&)>& makeFolder) {
  for (int attempt = 0; attempt < kMaxTaken; ++attempt) {
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(random()));
    std::string path = root;
    path += prefix;
    path += digits;
    switch (makeFolder(path)) {
    case MakeFolderResult::Made:
      return path;
    case MakeFolderResult::Taken:
      continue;
    case MakeFolderResult::Failed:
      return std::string();
    }
  }
  return std::string();
}

} // namespace kyv::platform
