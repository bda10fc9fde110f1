#include "platform/widetext.h"

#include <array>
#include <unordered_map>

#include "platform/codepages.h"

namespace kyv::platform {

// The narrow code page of this system's names is Windows-1251, as on the Russian Windows the
// plug-in was made for.
std::string wideToAnsi(const wchar_t* text, std::size_t maxUnits) {
  static const std::unordered_map<char32_t, unsigned char> reverse = [] {
    std::unordered_map<char32_t, unsigned char> map;
    for (unsigned b = 0; b < 256; ++b) {
      const char16_t u = cp1251ToUnicode(static_cast<unsigned char>(b));
      if (u != 0xFFFD)
        map.emplace(u, static_cast<unsigned char>(b));
    }
    return map;
  }();
  std::string out;
  for (std::size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
    const auto it = reverse.find(static_cast<char32_t>(text[i]));
    out.push_back(it != reverse.end() ? static_cast<char>(it->second) : '?');
  }
  return out;
}

} // namespace kyv::platform
