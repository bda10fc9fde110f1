#include "document/rtf_tokenizer.h"

#include <algorithm>

namespace kyv::document {

namespace {

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Parameters beyond this are clamped: the format's numbers are 16-bit, \bin's a length.
constexpr std::int64_t kParamLimit = 0x7FFFFFFF;

} // namespace

TRtfToken TRtfTokenizer::Next() {
  TRtfToken token;
  if (at_ >= rtf_.size())
    return token;
  const auto* text = reinterpret_cast<const char*>(rtf_.data());
  switch (text[at_]) {
  case '{':
    ++at_;
    token.Kind = TRtfToken::TKind::GroupStart;
    return token;
  case '}':
    ++at_;
    token.Kind = TRtfToken::TKind::GroupEnd;
    return token;
  case '\\':
    if (at_ + 1 < rtf_.size() && isLetter(text[at_ + 1]))
      return ControlWord();
    token.Kind = TRtfToken::TKind::ControlSymbol;
    token.Word = std::string_view(text + at_ + std::min<std::size_t>(1, rtf_.size() - at_ - 1),
                                  at_ + 1 < rtf_.size() ? 1 : 0);
    at_ += at_ + 1 < rtf_.size() ? 2 : 1;
    if (token.Word == "'")
      for (int i = 0; i < 2 && at_ < rtf_.size() && isHex(text[at_]); ++i)
        ++at_;
    return token;
  default: {
    const std::size_t start = at_;
    while (at_ < rtf_.size() && text[at_] != '{' && text[at_] != '}' && text[at_] != '\\')
      ++at_;
    token.Kind = TRtfToken::TKind::Text;
    token.Bytes = rtf_.subspan(start, at_ - start);
    return token;
  }
  }
}

TRtfToken TRtfTokenizer::ControlWord() {
  const auto* text = reinterpret_cast<const char*>(rtf_.data());
  TRtfToken token;
  token.Kind = TRtfToken::TKind::ControlWord;
  const std::size_t start = ++at_;
  while (at_ < rtf_.size() && isLetter(text[at_]))
    ++at_;
  token.Word = std::string_view(text + start, std::min(at_ - start, kRtfMaxWord));
  bool negative = false;
  if (at_ + 1 < rtf_.size() && text[at_] == '-' && isDigit(text[at_ + 1])) {
    negative = true;
    ++at_;
  }
  std::int64_t value = 0;
  while (at_ < rtf_.size() && isDigit(text[at_])) {
    token.HasParam = true;
    value = std::min(value * 10 + (text[at_] - '0'), kParamLimit);
    ++at_;
  }
  token.Param = static_cast<std::int32_t>(negative ? -value : value);
  if (at_ < rtf_.size() && text[at_] == ' ')
    ++at_;
  if (token.Word == "bin") {
    // The bytes that follow are data, however they look.
    const std::size_t n =
        token.Param > 0
            ? std::min<std::size_t>(static_cast<std::size_t>(token.Param), rtf_.size() - at_)
            : 0;
    token.Kind = TRtfToken::TKind::Binary;
    token.Bytes = rtf_.subspan(at_, n);
    at_ += n;
  }
  return token;
}

} // namespace kyv::document
