#include "platform/widetext.h"

#include <windows.h>

namespace kyv::platform {

std::string wideToAnsi(const wchar_t* text, std::size_t maxUnits) {
  std::size_t length = 0;
  while (length < maxUnits && text[length] != 0)
    ++length;
  if (length == 0)
    return {};
  const int units = static_cast<int>(length);
  const int size = ::WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
  if (size <= 0)
    return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text, units, out.data(), size, nullptr, nullptr);
  return out;
}

} // namespace kyv::platform
