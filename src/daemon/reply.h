// What goes back on the wire: reply framing and the NAME of a finding as clients parse it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "daemon/command.h"

namespace kyv::daemon {

// The longest NAME put on the wire. clamav-milter reads a reply into 128 bytes, which must
// also hold the "stream: " label and " FOUND".
inline constexpr std::size_t kMaxWireName = 100;

struct NamedFinding {
  std::int32_t code = 0; // 1 infected, 2 suspicious
  std::string_view name; // the engine's name; a suspicious one carries its match details
};

// The engine's name of one finding as a client may read it: a suspicious finding becomes
// "Suspicious." and its descriptor's name (its details stay in the log); blanks, colons, commas
// and bytes outside printable ASCII become '_'; an empty name becomes "Unnamed".
std::string WireFindingName(const NamedFinding& finding);

// The names of all findings, repeated ones once, joined by commas and cut after the last whole
// name that fits kMaxWireName (a first name longer than that is cut to it).
std::string WireName(std::span<const NamedFinding> findings);

// One reply: "<id>: " inside a session (id > 0), the text, then the command's delimiter.
std::string Frame(std::string_view text, Delimiter delimiter, std::uint32_t sessionId);

} // namespace kyv::daemon
