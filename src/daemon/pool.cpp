#include "daemon/pool.h"

#include <cerrno>
#include <csignal>
#include <ftw.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "plugin/scan_kernel.h"

namespace kyv::daemon {

namespace {

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
  if (type == FTW_DP)
    ::rmdir(path);
  else
    ::unlink(path);
  return 0;
}

// In the new child: nothing of the main process's but the channel and the standard streams.
void becomeWorker(int channel) {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR2, SIGCHLD})
    std::signal(sig, SIG_DFL);
  if (channel != 3) {
    ::dup2(channel, 3);
    ::close(channel);
  }
  ::close_range(4, ~0U, 0);
}

} // namespace

void RemoveTree(const std::string& path) {
  ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

WorkerPool::~WorkerPool() { StopAll(); }

bool WorkerPool::Spawn(plugin::TKYVAScanKernel& kernel) {
  const std::string folder = tempRoot_ + "/w" + std::to_string(++serial_);
  if (::mkdir(folder.c_str(), 0700) != 0)
    return false;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) {
    ::rmdir(folder.c_str());
    return false;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(pair[0]);
    ::close(pair[1]);
    ::rmdir(folder.c_str());
    return false;
  }
  if (pid == 0) {
    becomeWorker(pair[1]);
    RunWorker(kernel, 3, folder + "/");
  }
  ::close(pair[1]);
  WorkerProcess w;
  w.pid = pid;
  w.channel = pair[0];
  w.tempFolder = folder;
  w.generation = generation_;
  workers_.push_back(std::move(w));
  return true;
}

void WorkerPool::leave(WorkerProcess& w) {
  w.retiring = true;
  if (!w.busy && w.channel >= 0) {
    ::close(w.channel); // the worker reads the end of its channel and exits
    w.channel = -1;
  }
}

void WorkerPool::RetireAll() {
  ++generation_;
  for (WorkerProcess& w : workers_)
    leave(w);
}

unsigned WorkerPool::Current() const {
  unsigned n = 0;
  for (const WorkerProcess& w : workers_)
    n += !w.retiring ? 1 : 0;
  return n;
}

unsigned WorkerPool::Idle() const {
  unsigned n = 0;
  for (const WorkerProcess& w : workers_)
    n += !w.retiring && !w.busy && w.channel >= 0 ? 1 : 0;
  return n;
}

bool WorkerPool::Dispatch(std::uint64_t job, int fd) {
  for (WorkerProcess& w : workers_) {
    if (w.retiring || w.busy || w.channel < 0)
      continue;
    if (!SendJob(w.channel, job, fd)) {
      ::close(w.channel); // it died; the reaper replaces it
      w.channel = -1;
      continue;
    }
    w.busy = true;
    w.job = job;
    w.started = Clock::now();
    return true;
  }
  return false;
}

std::optional<ScanResult> WorkerPool::Receive(std::size_t i) {
  WorkerProcess& w = workers_[i];
  std::string buffer(256 * 1024, '\0');
  ssize_t n;
  do
    n = ::recv(w.channel, buffer.data(), buffer.size(), 0);
  while (n < 0 && errno == EINTR);
  if (n <= 0) {
    ::close(w.channel);
    w.channel = -1;
    return std::nullopt;
  }
  buffer.resize(static_cast<std::size_t>(n));
  std::optional<ScanResult> result = DecodeResult(buffer);
  if (!result || !w.busy || result->job != w.job) {
    // Not what we asked for: the worker is not to be trusted with another job.
    ::kill(w.pid, SIGKILL);
    return std::nullopt;
  }
  w.busy = false;
  if (w.retiring)
    leave(w);
  return result;
}

std::optional<LostJob> WorkerPool::Reaped(pid_t pid, int status) {
  for (std::size_t i = 0; i < workers_.size(); ++i) {
    WorkerProcess& w = workers_[i];
    if (w.pid != pid)
      continue;
    std::optional<LostJob> lost;
    if (w.busy)
      lost = LostJob{w.job, w.overran, status};
    if (w.channel >= 0)
      ::close(w.channel);
    RemoveTree(w.tempFolder);
    workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
    return lost;
  }
  return std::nullopt;
}

std::optional<Clock::duration> WorkerPool::KillOverdue(std::chrono::seconds limit,
                                                       Clock::time_point now) {
  std::optional<Clock::duration> next;
  for (WorkerProcess& w : workers_) {
    if (!w.busy || w.overran)
      continue;
    const Clock::time_point due = w.started + limit;
    if (due <= now) {
      w.overran = true;
      ::kill(w.pid, SIGKILL);
    } else if (!next || due - now < *next) {
      next = due - now;
    }
  }
  return next;
}

void WorkerPool::StopAll() {
  for (WorkerProcess& w : workers_) {
    if (w.channel >= 0)
      ::close(w.channel);
    w.channel = -1;
    ::kill(w.pid, SIGTERM);
  }
  // A scan in progress is abandoned; give the workers a moment, then insist.
  for (int round = 0; round < 50 && !workers_.empty(); ++round) {
    for (std::size_t i = 0; i < workers_.size();) {
      int status = 0;
      if (::waitpid(workers_[i].pid, &status, WNOHANG) == workers_[i].pid) {
        RemoveTree(workers_[i].tempFolder);
        workers_.erase(workers_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    if (!workers_.empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  for (WorkerProcess& w : workers_) {
    ::kill(w.pid, SIGKILL);
    ::waitpid(w.pid, nullptr, 0);
    RemoveTree(w.tempFolder);
  }
  workers_.clear();
}

} // namespace kyv::daemon
