#include "plain_text.h"

#include <cstdio>

namespace kyvscan {

std::string PlainText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    char escaped[8];
    if (c < 0x20 || c == 0x7F) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
      out += escaped;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

} // namespace kyvscan
