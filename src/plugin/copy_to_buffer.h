// The one rule by which text is handed to the host.
#pragma once

#include <cstdint>
#include <string_view>

namespace kyv::plugin {

// Null buffer or a length of 0 or less: nothing written, the text's length returned (so the
// host can ask for the size it needs). Otherwise at most length characters are copied followed
// by a NUL (the buffer must hold length + 1 bytes), and the count copied is returned.
std::int32_t CopyToBuffer(char* buffer, std::int32_t length, std::string_view text);

} // namespace kyv::plugin
