// The engine's own texts, kept as Windows-1251 bytes in this one place. Front ends that print
// to a UTF-8 terminal convert them (platform::cp1251ToUtf8).
#pragma once

#include <string>
#include <string_view>

namespace kyv::engine {

// Where users are sent for a newer program; ends the version message.
inline constexpr std::string_view kMakerAddress = "https://kyv.example.org/";

// "KYV-001 ..." for a file that failed the integrity test or does not decode.
std::string DamagedFileMessage(std::string_view fileName);
// "KYV-002 ..." for a file that asks for a newer program.
std::string NewerVersionMessage(std::string_view fileName);

// The text of the error raised for a length or size field outside its allowed range.
inline constexpr std::string_view kRangeCheckError = "Range check error";

// The last component of a path, after the last '\' or '/'.
std::string_view FileNameOf(std::string_view path);

} // namespace kyv::engine
