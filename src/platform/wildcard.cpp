#include "platform/wildcard.h"

namespace kyv::platform {

namespace {
char fold(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
} // namespace

bool wildcardMatch(std::string_view mask, std::string_view name) {
  // Iterative matcher with one backtrack point: linear in practice, no recursion on input.
  std::size_t m = 0, n = 0, starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || fold(mask[m]) == fold(name[n]))) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*')
    ++m;
  return m == mask.size();
}

} // namespace kyv::platform
