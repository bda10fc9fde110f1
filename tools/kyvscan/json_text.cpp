#include "json_text.h"

#include <cstdint>
#include <cstdio>

namespace kyvscan {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text, or 0 (overlong forms,
// surrogates and code points past U+10FFFF are not well-formed).
std::size_t utf8Length(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high)
    return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (at(i) < 0x80 || at(i) > 0xBF)
      return 0;
  return length;
}

} // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (const std::size_t n = utf8Length(text.substr(i)); n != 0) {
      out.append(text.substr(i, n));
      i += n;
    } else {
      out += "\\uFFFD";
      ++i;
    }
  }
  out += '"';
  return out;
}

} // namespace kyvscan
