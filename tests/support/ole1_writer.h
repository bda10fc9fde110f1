// OLE1 objects for tests, laid out as the published object-header description and the
// packager's native data have them.
#pragma once

#include <cstdint>
#include <string>

namespace kyv::test {

inline std::string Le32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i)
    s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

// A length-prefixed string: 4-byte length counting the NUL, the bytes, the NUL.
inline std::string LengthPrefixed(const std::string& text) {
  return Le32(static_cast<std::uint32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

// The packager's native data for an embedded file.
inline std::string
PackageNative(const std::string& label, const std::string& path, const std::string& data,
              const std::string& tempPath = "C:\\Users\\x\\AppData\\Local\\Temp\\file") {
  return std::string("\x02\x00", 2) + label + std::string(1, '\0') + path + std::string(1, '\0') +
         std::string("\x00\x00\x03\x00", 4) + LengthPrefixed(tempPath) +
         Le32(static_cast<std::uint32_t>(data.size())) + data;
}

// A "\1Ole10Native" stream: the native data's size, then the data.
inline std::string Ole10Native(const std::string& native) {
  return Le32(static_cast<std::uint32_t>(native.size())) + native;
}

// An embedded OLE1 object: version 0x0501, format 2, class, empty topic and item, native data.
inline std::string Ole1Object(const std::string& className, const std::string& native) {
  return Le32(0x00000501) + Le32(2) + LengthPrefixed(className) + Le32(0) + Le32(0) +
         Le32(static_cast<std::uint32_t>(native.size())) + native;
}

} // namespace kyv::test
