// Code page tables that both sides of the platform need: POSIX has no system conversion, and
// the terminals of the tools want UTF-8 on either system.
#pragma once

#include <string>
#include <string_view>

namespace kyv::platform {

char16_t cp1251ToUnicode(unsigned char byte); // U+FFFD for the one unassigned byte
unsigned char oem866ToCp1251(unsigned char byte);

// Text from other code pages to the system's narrow one (Windows-1251), as names that formats
// store in Unicode are shown and compared; characters it lacks become '?'.
unsigned char unicodeToCp1251(char32_t code);
// What a conversion met beside plain characters, for callers that must not guess.
struct ConversionNotes {
  bool malformed = false;  // bytes that are no UTF-8 (the text may be in another code page)
  bool unmappable = false; // characters the code page lacks
};
// UTF-8 (a malformed sequence gives '?' per byte) and UTF-16 little-endian (up to the first zero
// unit; an odd last byte is ignored).
std::string utf8ToCp1251(std::string_view text, ConversionNotes* notes = nullptr);
std::string utf16LeToCp1251(std::string_view bytes);

} // namespace kyv::platform
