#include "daemon/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <syslog.h>
#include <unistd.h>

namespace kyv::daemon {

namespace {

std::FILE* openAppend(const std::string& path) {
  // Never through a symbolic link: the log may sit in a folder others can write to.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640);
  if (fd < 0)
    return nullptr;
  std::FILE* f = ::fdopen(fd, "a");
  if (f == nullptr)
    ::close(fd);
  return f;
}

} // namespace

Log::~Log() {
  if (file_ != nullptr)
    std::fclose(file_);
  if (target_ == Target::Syslog)
    ::closelog();
}

void Log::Open(const std::string& file, bool toStderr) {
  path_ = file;
  if (!file.empty()) {
    file_ = openAppend(file);
    if (file_ == nullptr)
      throw std::runtime_error("cannot open the log file " + file + ": " + std::strerror(errno));
    target_ = Target::File;
  } else if (toStderr) {
    target_ = Target::Stderr;
  } else {
    ::openlog("kyvd", LOG_PID | LOG_NDELAY, LOG_MAIL);
    target_ = Target::Syslog;
  }
}

void Log::Reopen() {
  if (target_ != Target::File)
    return;
  if (std::FILE* f = openAppend(path_)) {
    std::fclose(file_);
    file_ = f;
  }
}

void Log::Write(Level level, std::string_view text) {
  if (target_ == Target::Syslog) {
    const int priority = level == Level::Error     ? LOG_ERR
                         : level == Level::Warning ? LOG_WARNING
                                                   : LOG_INFO;
    ::syslog(priority, "%.*s", static_cast<int>(text.size()), text.data());
    return;
  }
  std::FILE* out = target_ == Target::File ? file_ : stderr;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  const char* tag = level == Level::Error     ? " ERROR: "
                    : level == Level::Warning ? " WARNING: "
                                              : " ";
  std::fprintf(out, "%s [%d]%s%.*s\n", stamp, static_cast<int>(::getpid()), tag,
               static_cast<int>(text.size()), text.data());
  std::fflush(out);
}

} // namespace kyv::daemon
