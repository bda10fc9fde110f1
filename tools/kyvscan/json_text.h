// JSON strings for the scanner's --json lines.
#pragma once

#include <string>
#include <string_view>

namespace kyvscan {

// text (UTF-8) as a quoted JSON string: quotes and backslashes escaped, control characters as
// \uXXXX, and bytes that are not UTF-8 (a file name in another encoding) as U+FFFD, so the line
// is valid JSON whatever the path holds.
std::string JsonString(std::string_view text);

} // namespace kyvscan
