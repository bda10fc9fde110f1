#include "mail/header_fields.h"

#include <algorithm>
#include <cstdint>

#include "base/byte_io.h"
#include "base/text.h"
#include "mail/transfer_decoders.h"
#include "platform/codepages.h"

namespace kyv::mail {
namespace {

constexpr std::string_view kCrLf = "\r\n";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
    text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
    text.remove_suffix(1);
  return text;
}

// Walks a structured value: comments (nested, with backslash escapes) and quoted strings are
// recognised wherever they stand, so a ";" or "=" inside either never splits anything.
class Lexer {
public:
  explicit Lexer(std::string_view text) : text_(text) {}

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  void skip() { ++pos_; }

  void skipComment() {
    int depth = 0;
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '\\') {
        if (!atEnd())
          ++pos_;
      } else if (c == '(') {
        ++depth;
      } else if (c == ')') {
        if (--depth == 0)
          return;
      }
    }
  }

  void skipBlanksAndComments() {
    while (!atEnd()) {
      if (isBlank(peek()))
        skip();
      else if (peek() == '(')
        skipComment();
      else
        return;
    }
  }

  // At an opening quote: the string's content with escapes resolved; an unclosed string runs to
  // the end of the value.
  std::string quoted() {
    std::string out;
    ++pos_;
    while (!atEnd()) {
      const char c = text_[pos_++];
      if (c == '"')
        break;
      if (c == '\\' && !atEnd())
        out += text_[pos_++];
      else
        out += c;
    }
    return out;
  }

  // Text up to one of the stop characters, comments removed, blanks at both ends trimmed (blanks
  // inside are kept, as readers keep them in unquoted file names).
  std::string word(std::string_view stops) {
    std::string out;
    while (!atEnd() && stops.find(peek()) == std::string_view::npos) {
      if (peek() == '(') {
        skipComment();
        continue;
      }
      out += text_[pos_++];
    }
    return std::string(trim(out));
  }

  void skipPast(char stop) {
    while (!atEnd()) {
      if (peek() == '"') {
        quoted();
        continue;
      }
      if (peek() == '(') {
        skipComment();
        continue;
      }
      if (text_[pos_++] == stop)
        return;
    }
  }

private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string percentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int h = HexDigitValue(text[i + 1]);
      const int l = HexDigitValue(text[i + 2]);
      if (h >= 0 && l >= 0) {
        out += static_cast<char>(h * 16 + l);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// An RFC 2231 extended value "charset'language'text": the text after the second quote, and the
// charset. A value without both quotes is taken whole.
std::string_view withoutCharset(std::string_view value, std::string& charset) {
  const std::size_t first = value.find('\'');
  if (first == std::string_view::npos)
    return value;
  const std::size_t second = value.find('\'', first + 1);
  if (second == std::string_view::npos)
    return value;
  charset = std::string(value.substr(0, first));
  return value.substr(second + 1);
}

// Decoded text in its charset to the system's code page, for the charsets names come in most;
// any other is left as it was sent.
std::string toSystemCodePage(std::string_view charset, std::string text) {
  std::string name(charset);
  for (char& c : name)
    c = lower(c);
  if (name == "utf-8" || name == "utf8")
    return platform::utf8ToCp1251(text);
  if (name == "iso-8859-1" || name == "latin1" || name == "us-ascii") {
    for (char& c : text)
      c = static_cast<char>(platform::unicodeToCp1251(static_cast<unsigned char>(c)));
  }
  return text;
}

struct RawParam {
  std::string name;  // the part before any "*"
  long section = -1; // the number after "*", -1 for none
  bool extended = false;
  std::string value;
};

RawParam splitName(std::string name, std::string value) {
  RawParam raw;
  raw.value = std::move(value);
  const std::size_t star = name.find('*');
  if (star == std::string::npos) {
    raw.name = std::move(name);
    return raw;
  }
  std::string_view rest = std::string_view(name).substr(star + 1);
  raw.extended = !rest.empty() && rest.back() == '*';
  if (raw.extended)
    rest.remove_suffix(1);
  if (rest.empty()) {
    // "name*": one extended value.
    raw.extended = true;
    raw.section = -1;
  } else {
    long n = 0;
    for (const char c : rest) {
      if (c < '0' || c > '9' || n > 100000) {
        raw.name = std::move(name); // not a section number: an ordinary (odd) name
        raw.extended = false;
        raw.section = -1;
        return raw;
      }
      n = n * 10 + (c - '0');
    }
    raw.section = n;
  }
  raw.name = name.substr(0, star);
  return raw;
}

bool hasStar(const RawParam& raw) { return raw.extended || raw.section >= 0; }

} // namespace

std::optional<std::string_view> FieldValue(std::string_view block, std::string_view name) {
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = block.find(kCrLf, pos);
    if (end == std::string_view::npos)
      end = block.size();
    const std::string_view entry = block.substr(pos, end - pos);
    pos = end + kCrLf.size();
    if (entry.size() <= name.size() || !EqualsIgnoreAsciiCase(entry.substr(0, name.size()), name))
      continue;
    std::size_t colon = name.size();
    while (colon < entry.size() && (entry[colon] == ' ' || entry[colon] == '\t'))
      ++colon;
    if (colon < entry.size() && entry[colon] == ':')
      return trim(entry.substr(colon + 1));
  }
  return std::nullopt;
}

const std::string* TStructuredValue::Param(std::string_view name) const {
  for (const THeaderParam& p : Params)
    if (p.Name == name)
      return &p.Value;
  return nullptr;
}

TStructuredValue ParseStructuredValue(std::string_view value) {
  TStructuredValue result;
  Lexer lex(value);
  {
    std::string token = lex.word(";\"");
    // Blanks inside the leading word ("multipart / mixed") are not part of it.
    token.erase(std::remove_if(token.begin(), token.end(), isBlank), token.end());
    for (char& c : token)
      c = lower(c);
    result.Token = std::move(token);
    lex.skipPast(';');
  }
  std::vector<RawParam> raws;
  while (!lex.atEnd()) {
    lex.skipBlanksAndComments();
    std::string name = lex.word("=;\"");
    for (char& c : name)
      c = lower(c);
    if (lex.atEnd() || lex.peek() != '=') {
      lex.skipPast(';');
      continue;
    }
    lex.skip();
    lex.skipBlanksAndComments();
    std::string val;
    if (!lex.atEnd() && lex.peek() == '"') {
      val = lex.quoted();
      lex.skipPast(';');
    } else {
      val = lex.word(";");
      if (!lex.atEnd())
        lex.skip();
    }
    // A name that is nothing but an RFC 2231 suffix ("*0") names nothing.
    RawParam raw = splitName(std::move(name), std::move(val));
    if (!raw.name.empty())
      raws.push_back(std::move(raw));
  }

  // RFC 2231 forms of one name are joined section by section (in number order, from 0 while the
  // numbers run on); the first section or the lone "name*" carries the charset prefix. They win
  // over a plain parameter of the same name; otherwise the first of a name wins.
  for (const RawParam& raw : raws) {
    if (result.Param(raw.name) != nullptr)
      continue;
    std::vector<const RawParam*> sections;
    for (const RawParam& other : raws)
      if (other.name == raw.name && hasStar(other))
        sections.push_back(&other);
    if (sections.empty()) {
      result.Params.push_back({raw.name, raw.value});
      continue;
    }
    std::stable_sort(sections.begin(), sections.end(),
                     [](const RawParam* a, const RawParam* b) { return a->section < b->section; });
    std::string joined;
    std::string charset;
    long expect = sections.front()->section < 0 ? -1 : 0;
    for (const RawParam* s : sections) {
      if (s->section != expect)
        break;
      std::string_view piece = s->value;
      if (s->extended && s->section <= 0)
        piece = withoutCharset(piece, charset);
      joined += s->extended ? percentDecoded(piece) : std::string(piece);
      if (expect < 0)
        break;
      ++expect;
    }
    result.Params.push_back({raw.name, toSystemCodePage(charset, std::move(joined))});
  }
  return result;
}

std::string DecodeEncodedWords(std::string_view text) {
  std::string out;
  std::size_t pos = 0;
  bool lastWasWord = false;
  while (pos < text.size()) {
    const std::size_t start = text.find("=?", pos);
    if (start == std::string_view::npos)
      break;
    // "=?" charset "?" B|Q "?" text "?="
    const std::size_t q1 = text.find('?', start + 2);
    if (q1 == std::string_view::npos || q1 + 3 > text.size() || text[q1 + 2] != '?') {
      out.append(text.substr(pos, start + 2 - pos));
      pos = start + 2;
      lastWasWord = false;
      continue;
    }
    const char kind = lower(text[q1 + 1]);
    const std::size_t payload = q1 + 3;
    const std::size_t close = text.find("?=", payload);
    if ((kind != 'b' && kind != 'q') || close == std::string_view::npos) {
      out.append(text.substr(pos, start + 2 - pos));
      pos = start + 2;
      lastWasWord = false;
      continue;
    }
    const std::string_view between = text.substr(pos, start - pos);
    const bool onlyBlanks =
        std::all_of(between.begin(), between.end(), [](char c) { return c == ' ' || c == '\t'; });
    if (!(lastWasWord && onlyBlanks))
      out.append(between);
    const std::string_view data = text.substr(payload, close - payload);
    std::string word;
    if (kind == 'b') {
      const auto bytes = DecodeBase64(data);
      word.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } else {
      for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '_') {
          word += ' ';
        } else if (data[i] == '=' && i + 2 < data.size() && HexDigitValue(data[i + 1]) >= 0 &&
                   HexDigitValue(data[i + 2]) >= 0) {
          word += static_cast<char>(HexDigitValue(data[i + 1]) * 16 + HexDigitValue(data[i + 2]));
          i += 2;
        } else {
          word += data[i];
        }
      }
    }
    // "charset*language" (RFC 2231) names the charset before the star.
    std::string_view charset = text.substr(start + 2, q1 - start - 2);
    charset = charset.substr(0, charset.find('*'));
    out += toSystemCodePage(charset, std::move(word));
    pos = close + 2;
    lastWasWord = true;
  }
  out.append(text.substr(std::min(pos, text.size())));
  return out;
}

} // namespace kyv::mail
