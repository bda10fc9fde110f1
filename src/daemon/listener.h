// The sockets clients connect to: Unix sockets (with their file's mode and group) and TCP, or
// those a service manager hands over already listening.
#pragma once

#include <string>
#include <vector>

#include "daemon/settings.h"

namespace kyv::daemon {

struct Listener {
  int fd = -1;
  bool unixSocket = false; // descriptors can be passed (FILDES)
  std::string name;        // for the log
  std::string path;        // the socket file to remove at exit; empty when not ours
};

// Waiting connections the kernel holds while every worker is busy and the daemon is not
// accepting (it may cap this lower, at net.core.somaxconn, which is 4096 by default).
inline constexpr int kListenBacklog = 512;

// Opens every --socket and --tcp; throws std::runtime_error naming the one that failed.
std::vector<Listener> OpenListeners(const Settings& settings);
// Sockets passed by systemd's socket activation (LISTEN_PID, LISTEN_FDS), if any.
std::vector<Listener> InheritedListeners();
// Closes them and removes the socket files this process made.
void CloseListeners(std::vector<Listener>& listeners);

} // namespace kyv::daemon
