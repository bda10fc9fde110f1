// The one converter between UTF-8, UTF-16 and code points, for every name and text that a format
// stores in Unicode.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kyv {

inline constexpr char32_t kReplacementChar = 0xFFFD;

// One UTF-8 sequence at text[at]: its code point and length, or length 0 when the bytes there
// are no UTF-8 (a bad lead byte, a missing or bad continuation byte). Leads F5-F7 decode to
// code points past U+10FFFF, which callers treat as characters no table has.
struct Utf8Char {
  char32_t code = 0;
  std::size_t length = 0;
};
Utf8Char decodeUtf8(std::string_view text, std::size_t at);

void appendUtf8(std::string& out, char32_t code);
// A code point past U+FFFF as a surrogate pair; past U+10FFFF as U+FFFD.
void appendUtf16(std::u16string& out, char32_t code);

// Each byte of a malformed sequence becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
// Surrogate pairs are joined; a lone surrogate becomes U+FFFD.
std::string utf16ToUtf8(std::u16string_view text);

} // namespace kyv
