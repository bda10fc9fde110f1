// Text for the scanner's plain output lines, which a terminal shows and scripts split by line.
#pragma once

#include <string>
#include <string_view>

namespace kyvscan {

// text (UTF-8) with every control character written out instead of sent: C0 controls and DEL
// as \xHH, C1 controls (U+0080 to U+009F, which some terminals obey as escapes) as \uHHHH. A
// hostile archive's member name can then neither clear the screen nor forge a result line.
std::string PlainText(std::string_view text);

} // namespace kyvscan
