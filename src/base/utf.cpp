#include "base/utf.h"

namespace kyv {

Utf8Char decodeUtf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  // C0 and C1 could only start overlong forms of ASCII.
  const std::size_t extra = lead < 0x80                   ? 0
                            : lead >= 0xF0 && lead < 0xF8 ? 3
                            : lead >= 0xE0 && lead < 0xF0 ? 2
                            : lead >= 0xC2 && lead < 0xE0 ? 1
                                                          : 4;
  if (extra == 4 || extra >= text.size() - at)
    return {};
  char32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80)
      return {};
    code = code << 6 | (next & 0x3Fu);
  }
  return {code, extra + 1};
}

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void appendUtf16(std::u16string& out, char32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else if (code <= 0x10FFFF) {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  } else {
    out += static_cast<char16_t>(kReplacementChar);
  }
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char c = decodeUtf8(text, i);
    appendUtf16(out, c.length == 0 ? kReplacementChar : c.code);
    i += c.length == 0 ? 1 : c.length;
  }
  return out;
}

std::string utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xE000) {
      const bool pair =
          c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000;
      c = pair ? 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u) : kReplacementChar;
    }
    appendUtf8(out, c);
  }
  return out;
}

} // namespace kyv
