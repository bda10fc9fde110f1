#include "document/html_script.h"

#include "document/html_escapes.h"

namespace kyv::document {
namespace {

// Script in SVG is XML text, where character references are undone before the script runs.
constexpr unsigned kLiteralEscapes = kJsEscapes | kCharRefs;

bool isIdentChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' ||
         u == '$' || u >= 0x80;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

struct Literal {
  std::size_t End = 0; // just past the closing quote (or where an unclosed literal was given up)
  bool Base64 = true;  // holds nothing but base64 characters, "=" and blanks
};

// Walks the literal whose opening quote is at start, handing each character (escapes undone) to
// onRun as runs of base64 characters. A quote or backslash escaped does not end it; a line break
// ends a quoted (not a template) literal that was left open, so one stray quote cannot swallow the
// script.
template <typename OnRun>
Literal walkLiteral(std::string_view text, std::size_t start, OnRun onRun) {
  const char quote = text[start];
  Literal literal;
  std::size_t i = start + 1;
  while (i < text.size()) {
    const char c = text[i];
    if (c == quote) {
      literal.End = i + 1;
      return literal;
    }
    if ((c == '\n' || c == '\r') && quote != '`') {
      literal.End = i;
      literal.Base64 = false;
      return literal;
    }
    if (const std::size_t run = Base64RunAt(text, i); run != 0) {
      onRun(text.substr(i, run));
      i += run;
      continue;
    }
    const TextUnit unit = DecodeUnit(text, i, kLiteralEscapes);
    i += unit.Length;
    if (IsBase64Char(unit.Value)) {
      const char c = static_cast<char>(unit.Value);
      onRun(std::string_view(&c, 1));
    } else if (unit.Value != '=' && !IsBase64Blank(unit.Value))
      literal.Base64 = false;
  }
  literal.End = text.size();
  literal.Base64 = false;
  return literal;
}

// Where a regular expression literal starting at a slash ends. One that is not closed on its
// line is not a regular expression the tokenizer can follow; the rest of the line is skipped,
// so that no position is read twice.
std::size_t skipRegex(std::string_view text, std::size_t start) {
  bool inClass = false;
  for (std::size_t i = start + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r')
      return i;
    if (c == '\\')
      ++i;
    else if (c == '[')
      inClass = true;
    else if (c == ']')
      inClass = false;
    else if (c == '/' && !inClass)
      return i + 1;
  }
  return text.size();
}

class ScriptScanner {
public:
  ScriptScanner(std::string_view text, HtmlBlobWriter& writer) : text_(text), writer_(writer) {}
  void Run();

private:
  void literal();
  void endChain() {
    writer_.Finish();
    separator_ = 0;
    afterLiteral_ = false;
  }
  void token(char c);

  std::string_view text_;
  HtmlBlobWriter& writer_;
  std::size_t pos_ = 0;
  // The chain of literals being joined.
  bool arrayChain_ = false;
  bool afterLiteral_ = false; // the last token was a literal of the chain
  char separator_ = 0;        // "+" or "," seen after it
  // What came before the current token.
  bool operandBefore_ = false; // a "/" here divides rather than starting a regular expression
  char punctBefore_ = 0;
  bool atobOpen_ = false; // the last tokens were "atob" "("
  std::string_view identBefore_;
};

void ScriptScanner::literal() {
  const Literal checked = walkLiteral(text_, pos_, [](std::string_view) {});
  const bool joins = writer_.Active() && separator_ != 0 && checked.Base64;
  if (!joins) {
    endChain();
    if (checked.Base64) {
      arrayChain_ = punctBefore_ == '[';
      writer_.Start(HtmlBlobKind::ScriptString, "bin", atobOpen_ ? 1 : kMinScriptBlobChars);
    }
  }
  if (checked.Base64) {
    walkLiteral(text_, pos_, [this](std::string_view run) { writer_.Put(run); });
    afterLiteral_ = true;
    separator_ = 0;
  }
  pos_ = checked.End;
  operandBefore_ = true;
  punctBefore_ = 0;
  atobOpen_ = false;
}

void ScriptScanner::token(char c) {
  const bool continues = afterLiteral_ && (c == '+' || (c == ',' && arrayChain_));
  if (continues) {
    separator_ = c;
    afterLiteral_ = false;
  } else {
    endChain();
  }
  atobOpen_ = c == '(' && identBefore_ == "atob";
  identBefore_ = {};
  punctBefore_ = c;
  operandBefore_ = c == ')' || c == ']' || c == '}';
  ++pos_;
}

void ScriptScanner::Run() {
  while (pos_ < text_.size() && !writer_.Stopped()) {
    const char c = text_[pos_];
    const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    if (isBlank(c)) {
      ++pos_;
    } else if (c == '"' || c == '\'' || c == '`') {
      literal();
    } else if (c == '/' && next == '/') {
      const std::size_t end = text_.find('\n', pos_);
      pos_ = end == std::string_view::npos ? text_.size() : end;
    } else if (c == '/' && next == '*') {
      const std::size_t end = text_.find("*/", pos_ + 2);
      pos_ = end == std::string_view::npos ? text_.size() : end + 2;
    } else if (c == '/' && !operandBefore_) {
      endChain();
      pos_ = skipRegex(text_, pos_);
      operandBefore_ = true;
      punctBefore_ = 0;
      atobOpen_ = false;
    } else if (isIdentChar(c)) {
      endChain();
      const std::size_t start = pos_;
      while (pos_ < text_.size() && isIdentChar(text_[pos_]))
        ++pos_;
      identBefore_ = text_.substr(start, pos_ - start);
      operandBefore_ = true;
      punctBefore_ = 0;
      atobOpen_ = false;
    } else {
      token(c);
    }
  }
  writer_.Finish();
}

} // namespace

void FindScriptBlobs(std::string_view content, HtmlBlobWriter& writer) {
  ScriptScanner(content, writer).Run();
}

} // namespace kyv::document
