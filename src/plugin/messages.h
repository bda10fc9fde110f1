// The plug-in's own texts for the user, in Windows-1251 bytes, kept in one place.
#pragma once

#include <string>
#include <string_view>

namespace kyv::plugin {

// "Ошибка загрузки антивирусных баз ! Папка Base с базами должна размещаться в одной папке с
// плагином (текущий путь - " + quote + folder + quote + ")".
std::string StartupErrorText(std::string_view basePath);

// The caption of the start-up dialog: "Ошибка" (error).
inline constexpr std::string_view kStartupErrorCaption = "\xCE\xF8\xE8\xE1\xEA\xE0";

} // namespace kyv::plugin
