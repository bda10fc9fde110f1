#include "plugin/copy_to_buffer.h"

#include <cstring>

namespace kyv::plugin {

std::int32_t CopyToBuffer(char* buffer, std::int32_t length, std::string_view text) {
  // Texts handed to the host are far below 2^31 characters; clamp rather than wrap.
  const auto textLength =
      static_cast<std::int32_t>(text.size() > 0x7FFFFFFF ? 0x7FFFFFFF : text.size());
  if (buffer == nullptr || length <= 0)
    return textLength;
  const std::int32_t count = length >= textLength ? textLength : length;
  std::memcpy(buffer, text.data(), static_cast<std::size_t>(count));
  buffer[count] = '\0';
  return count;
}

} // namespace kyv::plugin
