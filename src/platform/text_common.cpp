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

std::string NormalizeFolder(std::string_view folder) {
  return NormalizeFolderWith(folder, pathSeparator());
}

} // namespace kyv::platform
