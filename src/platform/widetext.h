// Wide (UTF-16 on Windows, UTF-32 elsewhere) text to the system's narrow code page, as names
// that come from a module's wide records are shown and compared.
#pragma once

#include <cstddef>
#include <string>

namespace kyv::platform {

// Converts up to the first zero or maxUnits units, whichever comes first. Characters the code
// page lacks become '?', as the system's own conversion does.
std::string wideToAnsi(const wchar_t* text, std::size_t maxUnits);

} // namespace kyv::platform
