// Reads the object syntax of a document from bytes in memory: one value at a time, with keywords
// ("obj", "stream", "endobj", ...) handed back as such. Every read stays inside the range given.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "codec/text_filters.h"
#include "document/pdf_object.h"

namespace kyv::document {

// Arrays and dictionaries nested deeper than this are not read (documents nest a few levels;
// a reader of document files is expected to cope with at least 28).
inline constexpr int kPdfMaxNesting = 64;
// Items kept of one array or dictionary; the rest is read past and dropped. Real arrays (widths,
// page trees, cross-reference indexes) stay far below.
inline constexpr std::size_t kPdfMaxItems = 1u << 16;

using codec::isPdfBlank;
bool isPdfDelimiter(std::uint8_t c);

class PdfParser {
public:
  // Reads text[pos, limit).
  PdfParser(std::span<const std::byte> text, std::size_t pos, std::size_t limit);

  // The next value. A keyword that is no value comes back as nullopt with keyword() set to it;
  // at the end, or at bytes that begin no token, nullopt with keyword() empty. "N G R" is read as
  // one reference.
  std::optional<PdfObject> next();
  std::string_view keyword() const { return keyword_; }
  // Whether the last next() met a nesting or syntax problem that cut a value short.
  std::size_t position() const { return pos_; }
  void seek(std::size_t pos) { pos_ = pos; }
  void skipBlanks();

private:
  std::optional<PdfObject> value(int depth);
  std::optional<PdfObject> container(int depth, bool dict);
  PdfObject literalString();
  PdfObject hexString();
  PdfObject name();
  std::optional<PdfObject> number();
  std::string_view word();
  std::uint8_t at(std::size_t i) const { return static_cast<std::uint8_t>(text_[i]); }

  std::span<const std::byte> text_;
  std::size_t pos_;
  std::size_t limit_;
  std::string_view keyword_;
};

} // namespace kyv::document
