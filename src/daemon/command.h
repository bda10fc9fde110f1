// Commands of the clamd protocol as mail servers' clients send them. A command is prefixed "z"
// (ends at a NUL, replies end in a NUL), "n" (ends at a newline, replies too) or, for a few old
// clients, bare (a newline; only as a connection's first command).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kyv::daemon {

enum class Delimiter { Nul, Newline };

enum class Verb {
  Unknown,
  Ping,
  Version,
  VersionCommands,
  Stats,
  Reload,
  Shutdown,
  Scan,
  ContScan,
  MultiScan,
  AllMatchScan,
  InStream,
  FilDes,
  IdSession,
  End,
};

struct Command {
  Verb verb = Verb::Unknown;
  Delimiter delimiter = Delimiter::Newline;
  bool legacy = false;  // sent bare, without a prefix
  std::string argument; // the path of the scan commands
};

enum class ParseStatus { NeedMore, Complete, TooLong };

struct ParseResult {
  ParseStatus status = ParseStatus::NeedMore;
  std::size_t consumed = 0; // bytes of the input the command took, its delimiter included
  Command command;
};

// Longest command accepted: a path of PATH_MAX (4096) bytes behind the longest verb and its
// prefix. Anything longer is not a command a real client sends.
inline constexpr std::size_t kMaxCommandLength = 4096 + 32;

// Takes one command from the front of input. allowLegacy admits the bare form (a connection's
// first command only). A complete line that is not a command of this protocol comes back
// Complete with Verb::Unknown, so the caller can answer it.
ParseResult ParseCommand(std::string_view input, bool allowLegacy);

// The commands' names as VERSIONCOMMANDS lists them, separated by blanks.
std::string_view CommandList();

// Whether a command may stand inside IDSESSION.
bool AllowedInSession(Verb verb);

} // namespace kyv::daemon
