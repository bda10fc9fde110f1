#include "base/text.h"

#include <cstdint>

namespace kyv {

std::string TrimBlanks(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && static_cast<std::uint8_t>(text[begin]) <= 32)
    ++begin;
  while (end > begin && static_cast<std::uint8_t>(text[end - 1]) <= 32)
    --end;
  return std::string(text.substr(begin, end - begin));
}

std::string ReplaceAll(std::string_view text, std::string_view oldPiece,
                       std::string_view newPiece) {
  if (oldPiece.empty())
    return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t hit = text.find(oldPiece, pos);
    if (hit == std::string_view::npos)
      break;
    out.append(text.substr(pos, hit - pos));
    out.append(newPiece);
    pos = hit + oldPiece.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string NormalizeFolderWith(std::string_view folder, char sep) {
  std::string text(folder);
  for (char& c : text)
    if (c == '/' || c == '\\')
      c = sep;
  if (!text.empty() && text.back() != sep) {
    const char up = UpperCase1251(text[0]);
    if (text.size() == 1 && up >= 'A' && up <= 'Z') {
      text += ':';
      text += sep;
    } else {
      text += sep;
    }
  }
  const std::string one(1, sep);
  const std::string two(2, sep);
  if (StartsWith(text, two))
    return one + ReplaceAll(text, two, one);
  return ReplaceAll(text, two, one);
}

namespace {
// Looks only as far as the first character that is not blank, so asking about a long list costs
// nothing: a verdict of tens of thousands of names is built in time linear in its length.
bool hasNonBlank(std::string_view text) {
  for (const char c : text)
    if (static_cast<std::uint8_t>(c) > 32)
      return true;
  return false;
}
} // namespace

bool AppendName(std::string& list, std::string_view item, std::string_view separator) {
  if (!hasNonBlank(item))
    return false;
  if (hasNonBlank(list))
    list.append(separator);
  list.append(item);
  return true;
}

char UpperCase1251(char c) {
  const auto u = static_cast<std::uint8_t>(c);
  if (u >= 'a' && u <= 'z')
    return static_cast<char>(u - 32);
  if (u >= 0xE0) // а..я
    return static_cast<char>(u - 32);
  if (u == 0xB8) // ё
    return static_cast<char>(0xA8);
  // Other letters of the code page with a case pair: ў і ј ѕ ї є ґ ђ ѓ љ њ ќ ћ џ.
  switch (u) {
  case 0xA2:
    return static_cast<char>(0xA1);
  case 0xB3:
    return static_cast<char>(0xB2);
  case 0xBC:
    return static_cast<char>(0xA3);
  case 0xBE:
    return static_cast<char>(0xBD);
  case 0xBF:
    return static_cast<char>(0xAF);
  case 0xBA:
    return static_cast<char>(0xAA);
  case 0xB4:
    return static_cast<char>(0xA5);
  case 0x90:
    return static_cast<char>(0x80);
  case 0x83:
    return static_cast<char>(0x81);
  case 0x9A:
    return static_cast<char>(0x8A);
  case 0x9C:
    return static_cast<char>(0x8C);
  case 0x9D:
    return static_cast<char>(0x8D);
  case 0x9E:
    return static_cast<char>(0x8E);
  case 0x9F:
    return static_cast<char>(0x8F);
  default:
    return c;
  }
}

std::string UpperCase1251(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = UpperCase1251(c);
  return out;
}

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z')
      x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z')
      y = static_cast<char>(y - 32);
    if (x != y)
      return false;
  }
  return true;
}

} // namespace kyv
