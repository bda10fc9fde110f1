#include "daemon/command.h"

#include <array>

namespace kyv::daemon {

namespace {

struct VerbName {
  std::string_view name;
  Verb verb;
  bool takesPath;
  bool legacy; // accepted bare, as the old clients send it
};

constexpr std::array<VerbName, 14> kVerbs{{
    {"SCAN", Verb::Scan, true, true},
    {"CONTSCAN", Verb::ContScan, true, true},
    {"MULTISCAN", Verb::MultiScan, true, true},
    {"ALLMATCHSCAN", Verb::AllMatchScan, true, false},
    {"INSTREAM", Verb::InStream, false, false},
    {"FILDES", Verb::FilDes, false, true},
    {"PING", Verb::Ping, false, true},
    {"VERSION", Verb::Version, false, true},
    {"VERSIONCOMMANDS", Verb::VersionCommands, false, false},
    {"STATS", Verb::Stats, false, false},
    {"RELOAD", Verb::Reload, false, true},
    {"SHUTDOWN", Verb::Shutdown, false, true},
    {"IDSESSION", Verb::IdSession, false, false},
    {"END", Verb::End, false, false},
}};

Command identify(std::string_view line, bool legacy) {
  Command command;
  command.legacy = legacy;
  const std::size_t blank = line.find(' ');
  const std::string_view name = line.substr(0, blank);
  for (const VerbName& v : kVerbs) {
    if (v.name != name)
      continue;
    if (legacy && !v.legacy)
      return command;
    if (v.takesPath) {
      // The path is everything after the one blank; it may itself hold blanks.
      if (blank == std::string_view::npos || blank + 1 == line.size())
        return command;
      command.argument = std::string(line.substr(blank + 1));
    } else if (blank != std::string_view::npos) {
      return command; // text after a command that takes none
    }
    command.verb = v.verb;
    return command;
  }
  return command;
}

} // namespace

ParseResult ParseCommand(std::string_view input, bool allowLegacy) {
  ParseResult result;
  if (input.empty())
    return result;
  std::size_t start = 1;
  char end = '\n';
  Delimiter delimiter = Delimiter::Newline;
  if (input[0] == 'z') {
    end = '\0';
    delimiter = Delimiter::Nul;
  } else if (input[0] != 'n') {
    start = 0;
  }
  const std::size_t stop = input.find(end, start);
  if (stop == std::string_view::npos) {
    result.status = input.size() > kMaxCommandLength ? ParseStatus::TooLong : ParseStatus::NeedMore;
    return result;
  }
  if (stop > kMaxCommandLength) {
    result.status = ParseStatus::TooLong;
    return result;
  }
  result.status = ParseStatus::Complete;
  result.consumed = stop + 1;
  const bool legacy = start == 0;
  if (legacy && !allowLegacy) {
    result.command.legacy = true;
    return result;
  }
  result.command = identify(input.substr(start, stop - start), legacy);
  result.command.delimiter = delimiter;
  return result;
}

std::string_view CommandList() {
  return "SCAN CONTSCAN MULTISCAN ALLMATCHSCAN INSTREAM FILDES PING VERSION VERSIONCOMMANDS "
         "STATS RELOAD SHUTDOWN IDSESSION END";
}

bool AllowedInSession(Verb verb) {
  switch (verb) {
  case Verb::Scan:
  case Verb::InStream:
  case Verb::FilDes:
  case Verb::Version:
  case Verb::Ping:
  case Verb::Stats:
  case Verb::VersionCommands:
  case Verb::End:
    return true;
  default:
    return false;
  }
}

} // namespace kyv::daemon
