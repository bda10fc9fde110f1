#include "document/pdf_parser.h"

#include <charconv>
#include <cmath>

#include "base/text.h"

namespace kyv::document {

namespace {

bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

} // namespace

bool isPdfDelimiter(std::uint8_t c) {
  return c == '(' || c == ')' || c == '<' || c == '>' || c == '[' || c == ']' || c == '{' ||
         c == '}' || c == '/' || c == '%';
}

PdfParser::PdfParser(std::span<const std::byte> text, std::size_t pos, std::size_t limit)
    : text_(text), pos_(std::min(pos, std::min(limit, text.size()))),
      limit_(std::min(limit, text.size())) {}

void PdfParser::skipBlanks() {
  while (pos_ < limit_) {
    const std::uint8_t c = at(pos_);
    if (isPdfBlank(c)) {
      ++pos_;
    } else if (c == '%') {
      while (pos_ < limit_ && at(pos_) != '\n' && at(pos_) != '\r')
        ++pos_;
    } else {
      break;
    }
  }
}

std::optional<PdfObject> PdfParser::next() {
  keyword_ = {};
  return value(0);
}

std::optional<PdfObject> PdfParser::value(int depth) {
  skipBlanks();
  if (pos_ >= limit_)
    return std::nullopt;
  const std::uint8_t c = at(pos_);
  if (c == '(') {
    ++pos_;
    return literalString();
  }
  if (c == '<') {
    if (pos_ + 1 < limit_ && at(pos_ + 1) == '<') {
      pos_ += 2;
      return container(depth, true);
    }
    ++pos_;
    return hexString();
  }
  if (c == '[') {
    ++pos_;
    return container(depth, false);
  }
  if (c == '/') {
    ++pos_;
    return name();
  }
  if (isDigit(c) || c == '+' || c == '-' || c == '.')
    return number();
  if (isPdfDelimiter(c)) {
    // A closing bracket the caller did not expect, or a brace: no value here.
    keyword_ = std::string_view(reinterpret_cast<const char*>(text_.data()) + pos_, 1);
    ++pos_;
    return std::nullopt;
  }
  const std::string_view w = word();
  PdfObject o;
  if (w == "true" || w == "false") {
    o.kind = PdfKind::Bool;
    o.number = w == "true" ? 1 : 0;
    return o;
  }
  if (w == "null")
    return o;
  keyword_ = w;
  return std::nullopt;
}

std::string_view PdfParser::word() {
  const std::size_t start = pos_;
  while (pos_ < limit_ && !isPdfBlank(at(pos_)) && !isPdfDelimiter(at(pos_)))
    ++pos_;
  return {reinterpret_cast<const char*>(text_.data()) + start, pos_ - start};
}

std::optional<PdfObject> PdfParser::container(int depth, bool dict) {
  if (depth >= kPdfMaxNesting) {
    // Too deep to be a document's: give up on the whole value rather than recurse.
    pos_ = limit_;
    return std::nullopt;
  }
  PdfObject o;
  o.kind = dict ? PdfKind::Dict : PdfKind::Array;
  for (;;) {
    skipBlanks();
    if (pos_ >= limit_)
      return o; // cut short: keep what was read
    const std::uint8_t c = at(pos_);
    if (!dict && c == ']') {
      ++pos_;
      return o;
    }
    if (dict && c == '>' && pos_ + 1 < limit_ && at(pos_ + 1) == '>') {
      pos_ += 2;
      return o;
    }
    const std::size_t before = pos_;
    std::optional<PdfObject> item = value(depth + 1);
    if (!item) {
      // A keyword inside a container ends it where it stands ("stream" after an unclosed
      // dictionary); a stray delimiter is skipped.
      if (!keyword_.empty() && keyword_.size() > 1) {
        pos_ = before;
        keyword_ = {};
        return o;
      }
      keyword_ = {};
      if (pos_ == before)
        ++pos_;
      continue;
    }
    if (dict && o.items.size() % 2 == 0 && item->kind != PdfKind::Name)
      continue; // a key must be a name; skip what is not one
    if (o.items.size() < kPdfMaxItems)
      o.items.push_back(std::move(*item));
  }
}

PdfObject PdfParser::literalString() {
  PdfObject o;
  o.kind = PdfKind::String;
  int nesting = 1;
  while (pos_ < limit_) {
    std::uint8_t c = at(pos_++);
    if (c == '(') {
      ++nesting;
    } else if (c == ')') {
      if (--nesting == 0)
        return o;
    } else if (c == '\r') {
      // An end of line in a string reads as one line feed, whichever it was.
      if (pos_ < limit_ && at(pos_) == '\n')
        ++pos_;
      c = '\n';
    } else if (c == '\\' && pos_ < limit_) {
      c = at(pos_++);
      switch (c) {
      case 'n':
        c = '\n';
        break;
      case 'r':
        c = '\r';
        break;
      case 't':
        c = '\t';
        break;
      case 'b':
        c = '\b';
        break;
      case 'f':
        c = '\f';
        break;
      case '\r':
        if (pos_ < limit_ && at(pos_) == '\n')
          ++pos_;
        continue;
      case '\n':
        continue;
      default:
        if (c >= '0' && c <= '7') {
          unsigned v = c - '0';
          for (int i = 0; i < 2 && pos_ < limit_ && at(pos_) >= '0' && at(pos_) <= '7'; ++i)
            v = v * 8 + (at(pos_++) - '0');
          c = static_cast<std::uint8_t>(v);
        }
        break; // any other escaped character is itself
      }
    }
    o.bytes.push_back(static_cast<char>(c));
  }
  return o;
}

PdfObject PdfParser::hexString() {
  PdfObject o;
  o.kind = PdfKind::String;
  int high = -1;
  while (pos_ < limit_) {
    const std::uint8_t c = at(pos_++);
    if (c == '>')
      break;
    const int v = HexDigitValue(c);
    if (v < 0)
      continue; // blanks, and other bytes readers skip
    if (high < 0) {
      high = v;
    } else {
      o.bytes.push_back(static_cast<char>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0)
    o.bytes.push_back(static_cast<char>(high << 4));
  return o;
}

PdfObject PdfParser::name() {
  PdfObject o;
  o.kind = PdfKind::Name;
  while (pos_ < limit_ && !isPdfBlank(at(pos_)) && !isPdfDelimiter(at(pos_))) {
    std::uint8_t c = at(pos_++);
    if (c == '#' && pos_ + 1 < limit_ && HexDigitValue(at(pos_)) >= 0 &&
        HexDigitValue(at(pos_ + 1)) >= 0) {
      c = static_cast<std::uint8_t>(HexDigitValue(at(pos_)) << 4 | HexDigitValue(at(pos_ + 1)));
      pos_ += 2;
    }
    o.bytes.push_back(static_cast<char>(c));
  }
  return o;
}

std::optional<PdfObject> PdfParser::number() {
  const std::string_view w = word();
  PdfObject o;
  std::int64_t v = 0;
  std::string_view digits = w;
  if (!digits.empty() && digits.front() == '+')
    digits.remove_prefix(1);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (ec == std::errc() && end == digits.data() + digits.size() && !digits.empty()) {
    o.kind = PdfKind::Int;
    o.number = v;
    // "N G R": a reference.
    if (v >= 0 && v <= UINT32_MAX) {
      const std::size_t save = pos_;
      skipBlanks();
      const std::size_t genStart = pos_;
      while (pos_ < limit_ && isDigit(at(pos_)))
        ++pos_;
      const std::size_t genEnd = pos_;
      if (genEnd > genStart && genEnd - genStart <= 10 && pos_ < limit_ && isPdfBlank(at(pos_))) {
        skipBlanks();
        if (pos_ < limit_ && at(pos_) == 'R' &&
            (pos_ + 1 >= limit_ || isPdfBlank(at(pos_ + 1)) || isPdfDelimiter(at(pos_ + 1)))) {
          std::uint64_t gen = 0;
          for (std::size_t i = genStart; i < genEnd; ++i)
            gen = gen * 10 + (at(i) - '0');
          ++pos_;
          o.kind = PdfKind::Ref;
          o.generation = static_cast<std::uint32_t>(std::min<std::uint64_t>(gen, UINT32_MAX));
          return o;
        }
      }
      pos_ = save;
    }
    return o;
  }
  // A real, or an integer too long for 64 bits, or a malformed number ("--5", "1.2.3"), which
  // readers take as far as it goes.
  o.kind = PdfKind::Real;
  double sign = 1;
  std::size_t i = 0;
  while (i < w.size() && (w[i] == '+' || w[i] == '-')) {
    if (w[i] == '-')
      sign = -sign;
    ++i;
  }
  double r = 0;
  double scale = 0;
  for (; i < w.size(); ++i) {
    if (w[i] == '.' && scale == 0) {
      scale = 1;
    } else if (isDigit(static_cast<std::uint8_t>(w[i]))) {
      r = r * 10 + (w[i] - '0');
      scale *= 10;
    } else {
      break;
    }
  }
  o.real = sign * (scale > 0 ? r / scale : r);
  if (!std::isfinite(o.real))
    o.real = 0;
  return o;
}

} // namespace kyv::document
