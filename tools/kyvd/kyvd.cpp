// The scan kernel as a daemon for mail servers: answers the clamd protocol on Unix and TCP
// sockets, so clamav-milter, Exim, rspamd and amavisd-new can use it unchanged.
//   kyvd [--config FILE] [--socket PATH] [--tcp HOST:PORT] [--foreground] ...
// Exit status 0 after SHUTDOWN or a stop signal, 2 when it cannot start.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/log.h"
#include "daemon/server.h"
#include "daemon/settings.h"
#include "plugin/plugin_info.h"

namespace {

using kyv::daemon::Settings;

// The daemon leaves its working folder; relative paths must mean what they meant at start.
std::string absolute(const std::string& path) {
  if (path.empty() || path.front() == '/')
    return path;
  char cwd[PATH_MAX];
  if (::getcwd(cwd, sizeof cwd) == nullptr)
    return path;
  return std::string(cwd) + "/" + path;
}

void makeAbsolute(Settings& s) {
  s.base = absolute(s.base);
  for (std::string& p : s.sockets)
    p = absolute(p);
  s.tempDir = absolute(s.tempDir);
  s.logFile = absolute(s.logFile);
  s.pidFile = absolute(s.pidFile);
}

// The usual double fork: the caller's shell gets its prompt back, the daemon has no terminal.
void daemonize() {
  pid_t pid = ::fork();
  if (pid < 0)
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid > 0)
    ::_exit(0);
  ::setsid();
  pid = ::fork();
  if (pid < 0)
    ::_exit(2);
  if (pid > 0)
    ::_exit(0);
  if (::chdir("/") != 0)
    ::_exit(2);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::close(null);
  }
}

void writePidFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0)
    throw std::runtime_error("cannot write the pid file " + path + ": " + std::strerror(errno));
  const std::string text = std::to_string(::getpid()) + "\n";
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  if (!ok)
    throw std::runtime_error("cannot write the pid file " + path);
}

} // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    switch (kyv::daemon::ParseCommandLine(argc, argv, settings)) {
    case kyv::daemon::CommandLineAction::Help:
      std::fputs(kyv::daemon::UsageText().data(), stdout);
      return 0;
    case kyv::daemon::CommandLineAction::Version:
      std::printf("kyvd %s (KYV Mail checker engine)\n", kyv::plugin::PluginVersion.data());
      return 0;
    case kyv::daemon::CommandLineAction::Run:
      break;
    }
  } catch (const kyv::daemon::SettingsError& error) {
    std::fprintf(stderr, "kyvd: %s\n", error.what());
    return 2;
  }
  makeAbsolute(settings);

  kyv::daemon::Log log;
  bool pidWritten = false;
  int status = 0;
  try {
    log.Open(settings.logFile, settings.foreground);
    kyv::daemon::Server server(settings, log);
    try {
      server.Prepare();
    } catch (const std::exception& error) {
      // Before the daemon detaches, the user sees why it did not start.
      std::fprintf(stderr, "kyvd: %s\n", error.what());
      log.Error(error.what());
      return 2;
    }
    if (!settings.foreground)
      daemonize();
    if (!settings.pidFile.empty()) {
      writePidFile(settings.pidFile);
      pidWritten = true;
    }
    server.Serve();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kyvd: %s\n", error.what());
    log.Error(error.what());
    status = 2;
  }
  if (pidWritten)
    ::unlink(settings.pidFile.c_str());
  return status;
}
