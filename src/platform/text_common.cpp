// The parts of the platform seam that are the same on both systems.
#include "base/text.h"
#include "platform/codepages.h"
#include "platform/system.h"

namespace kyv::platform {

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

std::string cp1251ToUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 2);
  for (const char c : text)
    appendUtf8(out, cp1251ToUnicode(static_cast<unsigned char>(c)));
  return out;
}

unsigned char unicodeToCp1251(char32_t code) {
  if (code < 0x80)
    return static_cast<unsigned char>(code);
  for (unsigned byte = 0x80; byte < 0x100; ++byte)
    if (cp1251ToUnicode(static_cast<unsigned char>(byte)) == code)
      return static_cast<unsigned char>(byte);
  return '?';
}

std::string utf8ToCp1251(std::string_view text, ConversionNotes* notes) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80                  ? 0
                      : lead >= 0xF0 && lead < 0xF8 ? 3
                      : lead >= 0xE0 && lead < 0xF0 ? 2
                      : lead >= 0xC2 && lead < 0xE0 ? 1
                                                    : -1;
    bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < text.size();
    char32_t code = !ok || extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; ok && k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      ok = (next & 0xC0) == 0x80;
      code = code << 6 | (next & 0x3F);
    }
    if (!ok) {
      if (notes != nullptr)
        notes->malformed = true;
      out += '?';
      ++i;
      continue;
    }
    const unsigned char byte = unicodeToCp1251(code);
    if (notes != nullptr && byte == '?' && code != '?')
      notes->unmappable = true;
    out += static_cast<char>(byte);
    i += static_cast<std::size_t>(extra) + 1;
  }
  return out;
}

std::string utf16LeToCp1251(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char32_t unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit == 0)
      break;
    if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size())
      i += 2; // a surrogate pair: no such character in the code page
    out += static_cast<char>(unit >= 0xD800 && unit < 0xE000 ? '?' : unicodeToCp1251(unit));
  }
  return out;
}

std::string NormalizeFolder(std::string_view folder) {
  return NormalizeFolderWith(folder, pathSeparator());
}

} // namespace kyv::platform
