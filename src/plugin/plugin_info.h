// The plug-in's name and version as the host shows them.
#pragma once

#include <string_view>

namespace kyv::plugin {

// Windows-1251 text; the date is the release of the interface this plug-in answers.
inline constexpr std::string_view PluginName =
    "KYV Mail checker, 8.12.2005. Signature and archive engine by the KYV team, "
    "https://kyv.example.org/";
inline constexpr std::string_view PluginVersion = "1.05";

} // namespace kyv::plugin
