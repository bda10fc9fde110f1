// The parts of the platform seam that are the same on both systems.
#include "base/text.h"
#include "base/utf.h"
#include "platform/codepages.h"
#include "platform/system.h"

namespace kyv::platform {

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
    const Utf8Char c = decodeUtf8(text, i);
    if (c.length == 0) {
      if (notes != nullptr)
        notes->malformed = true;
      out += '?';
      ++i;
      continue;
    }
    const char32_t code = c.code;
    const unsigned char byte = unicodeToCp1251(code);
    if (notes != nullptr && byte == '?' && code != '?')
      notes->unmappable = true;
    out += static_cast<char>(byte);
    i += c.length;
  }
  return out;
}

std::string utf16LeToCp1251(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const char32_t unit =
        static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
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
