// The daemon's log: a file (reopened on SIGHUP, so log rotation works), syslog's mail facility,
// or stderr in the foreground. Only the main process writes it.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace kyv::daemon {

class Log {
public:
  enum class Level { Info, Warning, Error };

  Log() = default;
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // file empty: syslog, or stderr when toStderr. Throws std::runtime_error when the file cannot
  // be opened.
  void Open(const std::string& file, bool toStderr);
  void Reopen();
  void Write(Level level, std::string_view text);
  void Info(std::string_view text) { Write(Level::Info, text); }
  void Warning(std::string_view text) { Write(Level::Warning, text); }
  void Error(std::string_view text) { Write(Level::Error, text); }

private:
  enum class Target { Stderr, File, Syslog };
  Target target_ = Target::Stderr;
  std::string path_;
  std::FILE* file_ = nullptr;
};

} // namespace kyv::daemon
