// Files carried inside web pages and SVG images as base64 text ("HTML smuggling"): a page that
// holds a program or an archive as a data: URI, or as a long string that a script decodes and
// offers as a download. One pass over the text finds them without building a document tree:
//
//   data:<type>;base64,<payload>  anywhere (attributes, style sheets, scripts), as
//                                 "data-uri-N.<ext>", the extension from the media type;
//   base64 strings in scripts     string literals of <script> content that hold nothing but
//                                 base64 (pieces joined by "+", string arrays, atob(...) calls),
//                                 as "script-blob-N.bin".
//
// Escapes are undone as a browser would before it decodes (see html_escapes.h); blanks inside
// base64 are skipped. Nothing is held per member beyond a small buffer, so a page of one huge
// string, or of a million small ones, costs time in proportion to its length.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_io.h"

namespace kyv::document {

// A script string (or joined pieces) must carry at least this many base64 characters to be
// decoded: shorter ones are identifiers, hashes and small icons on ordinary pages, and a file
// worth carrying this way is larger. The argument of atob() is decoded whatever its length.
inline constexpr std::size_t kMinScriptBlobChars = 256;

// Where the members go.
class HtmlBlobTarget {
public:
  virtual ~HtmlBlobTarget() = default;
  // A member starts; its decoded bytes follow through the sink returned. nullptr ends the search.
  virtual ByteSink* BeginMember(const std::string& name) = 0;
  // The member's last bytes were written; complete is false when the sink refused a write.
  virtual void EndMember(bool complete) = 0;
};

void FindHtmlBlobs(std::string_view text, HtmlBlobTarget& target);

// The head of a web page or SVG image: after a byte order mark and blanks it starts with
// "<!doctype html", "<html", "<head", "<body", "<script" or "<svg", or with "<?xml" and an
// "<svg" follows in the head; or it is text whose first KiB holds "<html" or "<script".
// Letters in any case.
bool LooksLikeHtml(std::span<const std::byte> head);

} // namespace kyv::document
