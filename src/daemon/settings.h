// What the daemon is told at start: command-line options, or the same settings as "key value"
// lines of a configuration file (the option's name without its dashes).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kyv::daemon {

struct Settings {
  std::string base;                 // database folder; empty: BASE beside the program
  std::vector<std::string> sockets; // Unix socket paths
  mode_t socketMode = 0660;
  std::string socketGroup;
  std::vector<std::string> tcp; // HOST:PORT
  bool foreground = false;
  unsigned workers = 0; // 0: one per processor
  std::uint64_t maxStream = std::uint64_t{100} << 20;
  unsigned maxQueue = 128;    // client connections served at once; more wait to be accepted
  unsigned maxScanTime = 120; // seconds one file may take before its worker is replaced
  unsigned readTimeout = 120; // seconds a client may stay silent while it owes us bytes
  std::string tempDir;        // empty: $TMPDIR or /tmp
  std::string logFile;        // empty: syslog, or stderr in the foreground
  std::string pidFile;
};

class SettingsError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// One setting by its name ("max-stream", "socket", ...). where names its origin in messages.
void ApplySetting(Settings& settings, std::string_view key, std::string_view value,
                  std::string_view where);

// Reads "key value" lines; blank lines and lines starting with '#' are skipped.
void LoadConfigFile(const std::string& path, Settings& settings);

enum class CommandLineAction { Run, Help, Version };

// Options in any order; a --config file is read first, so options on the command line win.
CommandLineAction ParseCommandLine(int argc, char** argv, Settings& settings);

// Sizes in bytes with an optional K, M or G (binary multiples); throws SettingsError.
std::uint64_t ParseSize(std::string_view text);

// Splits "HOST:PORT" ("[v6]:PORT" for IPv6); throws SettingsError.
void SplitHostPort(std::string_view text, std::string& host, std::string& port);

std::string_view UsageText();

} // namespace kyv::daemon
