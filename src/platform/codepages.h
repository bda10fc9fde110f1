// Code page tables that both sides of the platform need: POSIX has no system conversion, and
// the terminals of the tools want UTF-8 on either system.
#pragma once

#include <string>

namespace kyv::platform {

char16_t cp1251ToUnicode(unsigned char byte);  // U+FFFD for the one unassigned byte
unsigned char oem866ToCp1251(unsigned char byte);

// UTF-16 code unit to UTF-8, appended.
void appendUtf8(std::string& out, char32_t code);

} // namespace kyv::platform
