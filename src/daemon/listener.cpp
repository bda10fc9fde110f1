#include "daemon/listener.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace kyv::daemon {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    throw std::runtime_error("socket path too long: " + path);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// A socket file left by a daemon that died is replaced; one that still answers is not ours to
// take, and anything that is not a socket is left alone.
void clearStaleSocket(const std::string& path, const sockaddr_un& address) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0)
    return;
  if (!S_ISSOCK(st.st_mode))
    throw std::runtime_error(path + " exists and is not a socket");
  const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const bool live = probe >= 0 && ::connect(probe, reinterpret_cast<const sockaddr*>(&address),
                                            sizeof address) == 0;
  if (probe >= 0)
    ::close(probe);
  if (live)
    throw std::runtime_error("another daemon is answering on " + path);
  ::unlink(path.c_str());
}

Listener openUnix(const std::string& path, const Settings& settings) {
  const sockaddr_un address = unixAddress(path);
  clearStaleSocket(path, address);
  Listener l;
  l.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (l.fd < 0)
    fail("socket");
  // Nobody may connect before the mode and group are right.
  const mode_t old = ::umask(0177);
  const int bound = ::bind(l.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::umask(old);
  if (bound != 0) {
    ::close(l.fd);
    fail("cannot bind " + path);
  }
  l.path = path;
  l.unixSocket = true;
  l.name = path;
  if (!settings.socketGroup.empty()) {
    const group* g = ::getgrnam(settings.socketGroup.c_str());
    if (g == nullptr || ::chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0) {
      std::vector<Listener> one{l};
      CloseListeners(one);
      throw std::runtime_error("cannot give " + path + " to group " + settings.socketGroup);
    }
  }
  if (::chmod(path.c_str(), settings.socketMode) != 0 || ::listen(l.fd, kListenBacklog) != 0) {
    const int e = errno;
    std::vector<Listener> one{l};
    CloseListeners(one);
    errno = e;
    fail("cannot listen on " + path);
  }
  return l;
}

Listener openTcp(const std::string& hostPort) {
  std::string host, port;
  SplitHostPort(hostPort, host, port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0)
    throw std::runtime_error("cannot resolve " + hostPort + ": " + ::gai_strerror(rc));
  Listener l;
  l.name = hostPort;
  int error = 0;
  for (addrinfo* a = found; a != nullptr && l.fd < 0; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
      error = errno;
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (a->ai_family == AF_INET6)
      ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0) {
      l.fd = fd;
    } else {
      error = errno;
      ::close(fd);
    }
  }
  ::freeaddrinfo(found);
  if (l.fd < 0) {
    errno = error;
    fail("cannot listen on " + hostPort);
  }
  return l;
}

} // namespace

std::vector<Listener> OpenListeners(const Settings& settings) {
  std::vector<Listener> out;
  try {
    for (const std::string& path : settings.sockets)
      out.push_back(openUnix(path, settings));
    for (const std::string& hostPort : settings.tcp)
      out.push_back(openTcp(hostPort));
  } catch (...) {
    CloseListeners(out);
    throw;
  }
  return out;
}

std::vector<Listener> InheritedListeners() {
  std::vector<Listener> out;
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr || std::atol(pid) != static_cast<long>(::getpid()))
    return out;
  const int count = std::atoi(fds);
  constexpr int kFirst = 3; // SD_LISTEN_FDS_START
  for (int fd = kFirst; fd < kFirst + count; ++fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      continue;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    Listener l;
    l.fd = fd;
    l.unixSocket = address.ss_family == AF_UNIX;
    l.name = "inherited socket " + std::to_string(fd);
    out.push_back(l);
  }
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return out;
}

void CloseListeners(std::vector<Listener>& listeners) {
  for (Listener& l : listeners) {
    if (l.fd >= 0)
      ::close(l.fd);
    if (!l.path.empty())
      ::unlink(l.path.c_str());
  }
  listeners.clear();
}

} // namespace kyv::daemon
