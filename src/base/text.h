// Narrow-text helpers shared by every subsystem. Text is bytes: Windows-1251 for the system's
// own messages, whatever the container gave for names.
#pragma once

#include <string>
#include <string_view>

namespace kyv {

// Removes characters with codes up to and including the space (32) from both ends.
std::string TrimBlanks(std::string_view text);

// Replaces every non-overlapping occurrence of oldPiece, scanning left to right, in one pass;
// an empty oldPiece leaves the text unchanged.
std::string ReplaceAll(std::string_view text, std::string_view oldPiece, std::string_view newPiece);

// The folder rule: every '/' and '\' becomes sep, one trailing sep, a lone drive letter becomes
// a root ("d" -> "d:\"), doubled separators collapse, a leading network double separator stays.
// With sep '\' this is exactly the Windows rule; POSIX uses the same rule with '/'.
std::string NormalizeFolderWith(std::string_view folder, char sep);

// Appends item to list, after separator when the trimmed list is not empty; false and nothing
// appended when the trimmed item is empty.
bool AppendName(std::string& list, std::string_view item, std::string_view separator);

// Exact, case-sensitive prefix test; false when text is shorter than prefix.
inline bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The value of one hexadecimal digit of either case; -1 for any other character.
constexpr int HexDigitValue(unsigned char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}
constexpr int HexDigitValue(char c) { return HexDigitValue(static_cast<unsigned char>(c)); }

// Upper case by the Windows-1251 rules (ASCII letters and the Cyrillic ones).
char UpperCase1251(char c);
std::string UpperCase1251(std::string_view text);
// ASCII-only case-insensitive equality.
bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b);

} // namespace kyv
