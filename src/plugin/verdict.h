// The verdict of one top-level file: every finding of the file and of all its members, in
// scanning order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kyv::plugin {

inline constexpr std::string_view kSuspiciousPrefix = "Suspictios: ";

// Adds one engine result (0 nothing, 1 infected, 2 suspicious) with its name: infected wins over
// suspicious whatever the order; names are joined by "," in the order found; a blank name adds
// nothing to the text but still counts for the code.
void AddFinding(std::string& verdictText, std::int32_t& verdictCode, std::int32_t result,
                std::string_view foundName);

} // namespace kyv::plugin
