// Wildcard matching of the directory enumeration: '*' any run, '?' any one character, letters
// compared without regard to ASCII case, as the Windows file system does.
#pragma once

#include <string_view>

namespace kyv::platform {
bool wildcardMatch(std::string_view mask, std::string_view name);
} // namespace kyv::platform
