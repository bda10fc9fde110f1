#include "document/html_escapes.h"

#include <array>
#include <utility>

#include "base/text.h"

namespace kyv::document {
namespace {

// Reads up to maxDigits hexadecimal digits at pos; the count read goes to digits.
std::uint32_t readHex(std::string_view text, std::size_t pos, std::size_t maxDigits,
                      std::size_t& digits) {
  std::uint32_t value = 0;
  digits = 0;
  while (digits < maxDigits && pos + digits < text.size()) {
    const int d = HexDigitValue(text[pos + digits]);
    if (d < 0)
      break;
    value = value * 16 + static_cast<std::uint32_t>(d);
    ++digits;
  }
  return value;
}

// Code points above Unicode's range are not characters; eight digits are the most that can name
// one, so longer runs are refused rather than overflowing.
constexpr std::size_t kMaxRefDigits = 8;

TextUnit jsEscape(std::string_view text, std::size_t pos) {
  const std::size_t left = text.size() - pos;
  if (left < 2)
    return {'\\', 1};
  const char c = text[pos + 1];
  std::size_t digits = 0;
  switch (c) {
  case 'x': {
    const std::uint32_t v = readHex(text, pos + 2, 2, digits);
    return digits == 2 ? TextUnit{v, 4} : TextUnit{'\\', 1};
  }
  case 'u':
    if (left > 2 && text[pos + 2] == '{') {
      const std::uint32_t v = readHex(text, pos + 3, kMaxRefDigits, digits);
      if (digits > 0 && pos + 3 + digits < text.size() && text[pos + 3 + digits] == '}')
        return {v, digits + 4};
      return {'\\', 1};
    } else {
      const std::uint32_t v = readHex(text, pos + 2, 4, digits);
      return digits == 4 ? TextUnit{v, 6} : TextUnit{'\\', 1};
    }
  case 'n':
    return {'\n', 2};
  case 'r':
    if (left > 2 && text[pos + 2] == '\n')
      return {' ', 3}; // a line continuation written with CR LF
    return {'\r', 2};
  case 't':
    return {'\t', 2};
  case 'f':
    return {'\f', 2};
  case 'v':
    return {'\v', 2};
  case '\n':
    return {' ', 2};
  default:
    return {static_cast<unsigned char>(c), 2};
  }
}

// Names of character references that stand for characters of base64 text and the characters
// that end it; names are case-sensitive in HTML.
constexpr std::array<std::pair<std::string_view, char>, 14> kNamedRefs{{
    {"plus;", '+'},
    {"sol;", '/'},
    {"equals;", '='},
    {"NewLine;", '\n'},
    {"Tab;", '\t'},
    {"quot;", '"'},
    {"QUOT;", '"'},
    {"apos;", '\''},
    {"amp;", '&'},
    {"AMP;", '&'},
    {"lt;", '<'},
    {"gt;", '>'},
    {"colon;", ':'},
    {"semi;", ';'},
}};

TextUnit charRef(std::string_view text, std::size_t pos) {
  const std::string_view rest = text.substr(pos + 1);
  if (!rest.empty() && rest[0] == '#') {
    std::size_t digits = 0;
    std::uint32_t value = 0;
    std::size_t at = 1;
    if (rest.size() > 1 && (rest[1] == 'x' || rest[1] == 'X')) {
      at = 2;
      value = readHex(rest, at, kMaxRefDigits, digits);
    } else {
      while (digits < kMaxRefDigits && at + digits < rest.size() && rest[at + digits] >= '0' &&
             rest[at + digits] <= '9')
        value = value * 10 + static_cast<std::uint32_t>(rest[at + digits++] - '0');
    }
    if (digits == 0)
      return {'&', 1};
    std::size_t length = 1 + at + digits;
    // Browsers accept a numeric reference without its semicolon.
    if (at + digits < rest.size() && rest[at + digits] == ';')
      ++length;
    return {value, length};
  }
  for (const auto& [name, c] : kNamedRefs)
    if (rest.substr(0, name.size()) == name)
      return {static_cast<unsigned char>(c), name.size() + 1};
  return {'&', 1};
}

constexpr std::array<bool, 128> makeAlphabet() {
  std::array<bool, 128> table{};
  for (char c = 'A'; c <= 'Z'; ++c)
    table[static_cast<std::size_t>(c)] = true;
  for (char c = 'a'; c <= 'z'; ++c)
    table[static_cast<std::size_t>(c)] = true;
  for (char c = '0'; c <= '9'; ++c)
    table[static_cast<std::size_t>(c)] = true;
  table['+'] = table['/'] = true;
  return table;
}
constexpr std::array<bool, 128> kAlphabet = makeAlphabet();
static_assert(kAlphabet['A'] && kAlphabet['/'] && !kAlphabet['='] && !kAlphabet['-']);

} // namespace

TextUnit DecodeUnit(std::string_view text, std::size_t pos, unsigned escapes) {
  const char c = text[pos];
  if (c == '\\' && (escapes & kJsEscapes) != 0)
    return jsEscape(text, pos);
  if (c == '&' && (escapes & kCharRefs) != 0)
    return charRef(text, pos);
  if (c == '%' && (escapes & kPercentEscapes) != 0 && text.size() - pos >= 3) {
    const int hi = HexDigitValue(text[pos + 1]);
    const int lo = HexDigitValue(text[pos + 2]);
    if (hi >= 0 && lo >= 0)
      return {static_cast<std::uint32_t>(hi * 16 + lo), 3};
  }
  return {static_cast<unsigned char>(c), 1};
}

bool IsBase64Char(std::uint32_t c) { return c < kAlphabet.size() && kAlphabet[c]; }

bool IsBase64Blank(std::uint32_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

std::size_t Base64RunAt(std::string_view text, std::size_t pos) {
  std::size_t end = pos;
  while (end < text.size() && IsBase64Char(static_cast<unsigned char>(text[end])))
    ++end;
  return end - pos;
}

} // namespace kyv::document
