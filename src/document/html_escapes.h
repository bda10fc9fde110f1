// The escapes under which base64 travels inside web pages: JavaScript string escapes, character
// references of HTML and XML, and the percent-encoding of URLs. Senders wrap payloads in them so
// that a plain search for base64 text misses the payload; browsers undo them before decoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kyv::document {

// Which escapes a context undoes.
enum EscapeSet : unsigned {
  kJsEscapes = 1,      // \xHH, \uHHHH, \u{H...}, \n and the like, \/ for /
  kCharRefs = 2,       // &#xHH; &#DDD; &plus; &sol; &equals; and a few more names
  kPercentEscapes = 4, // %HH
};

// One character of the text after its escapes: the code point it stands for and the number of
// bytes it took. A malformed escape stands for its own first byte. A line continuation in a
// string (backslash and line break) stands for a blank.
struct TextUnit {
  std::uint32_t Value = 0;
  std::size_t Length = 1;
};
TextUnit DecodeUnit(std::string_view text, std::size_t pos, unsigned escapes);

// The base64 alphabet of web pages and mail (RFC 4648 section 4), without "=".
bool IsBase64Char(std::uint32_t c);
// The blanks browsers drop from base64 text (the ASCII whitespace of the forgiving decoder).
bool IsBase64Blank(std::uint32_t c);
// How many characters of the alphabet, unescaped, stand at pos.
std::size_t Base64RunAt(std::string_view text, std::size_t pos);

} // namespace kyv::document
