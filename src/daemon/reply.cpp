#include "daemon/reply.h"

#include <vector>

namespace kyv::daemon {

namespace {

constexpr std::string_view kSuspiciousPrefix = "Suspicious.";
constexpr std::string_view kUnnamed = "Unnamed";
// A suspicious finding's name ends in " (" + its match details + ")"; the details begin with
// a blank.
constexpr std::string_view kDetailsOpen = " ( ";

bool safeByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && c != ':' && c != ',';
}

} // namespace

std::string WireFindingName(const NamedFinding& finding) {
  std::string_view name = finding.name;
  std::string out;
  if (finding.code == 2) {
    const std::size_t details = name.rfind(kDetailsOpen);
    if (details != std::string_view::npos && !name.empty() && name.back() == ')')
      name = name.substr(0, details);
    out = kSuspiciousPrefix;
  }
  // Leading and trailing blanks are the engine's padding, not part of the name.
  while (!name.empty() && name.front() == ' ')
    name.remove_prefix(1);
  while (!name.empty() && name.back() == ' ')
    name.remove_suffix(1);
  if (name.empty())
    name = kUnnamed;
  for (const char c : name)
    out += safeByte(c) ? c : '_';
  return out;
}

std::string WireName(std::span<const NamedFinding> findings) {
  std::vector<std::string> names;
  for (const NamedFinding& f : findings) {
    std::string name = WireFindingName(f);
    bool seen = false;
    for (const std::string& n : names)
      seen = seen || n == name;
    if (!seen)
      names.push_back(std::move(name));
  }
  if (names.empty())
    return std::string(kUnnamed);
  std::string out = names.front().substr(0, kMaxWireName);
  for (std::size_t i = 1; i < names.size(); ++i) {
    if (out.size() + 1 + names[i].size() > kMaxWireName)
      break;
    out += ',';
    out += names[i];
  }
  return out;
}

std::string Frame(std::string_view text, Delimiter delimiter, std::uint32_t sessionId) {
  std::string out;
  if (sessionId > 0) {
    out = std::to_string(sessionId);
    out += ": ";
  }
  out += text;
  out += delimiter == Delimiter::Nul ? '\0' : '\n';
  return out;
}

} // namespace kyv::daemon
