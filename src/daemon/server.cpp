#include "daemon/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/antivirus.h"
#include "platform/system.h"
#include "plugin/plugin_info.h"
#include "plugin/scan_kernel.h"

namespace kyv::daemon {

namespace {

// A crashing worker is replaced, but not faster than this many times a second per worker, so
// a kernel that cannot start does not turn the daemon into a fork loop.
constexpr unsigned kSpawnsPerSecondPerWorker = 4;

std::string utf8(const std::string& text) { return platform::cp1251ToUtf8(text); }

// The stamp of the databases is a day count from 1899-12-30, the customary date serial.
std::string versionText(const plugin::TKYVAScanKernel& kernel) {
  const double stamp = kernel.Engine->MainStamp;
  std::time_t when = std::time(nullptr);
  if (stamp > 25569.0 && stamp < 2958466.0)
    when = static_cast<std::time_t>(std::llround((stamp - 25569.0) * 86400.0));
  std::tm tm{};
  ::gmtime_r(&when, &tm);
  char date[64];
  std::strftime(date, sizeof date, "%a %b %e %H:%M:%S %Y", &tm);
  char number[32];
  std::snprintf(number, sizeof number, "%.10g", stamp);
  return "KYV " + std::string(plugin::PluginVersion) + "/" + number + "/" + date;
}

std::string peerName(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    return std::string(host) + "@" + std::to_string(ntohs(a.sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
    return std::string(host) + "@" + std::to_string(ntohs(a.sin6_port));
  }
  return "local";
}

// What the calling thread has spent: a reload's cost, whatever else runs on the machine.
double threadProcessorMilliseconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

std::string describeExit(int status) {
  if (WIFSIGNALED(status))
    return "killed by signal " + std::to_string(WTERMSIG(status));
  return "exit status " + std::to_string(WEXITSTATUS(status));
}

} // namespace

Server::Server(Settings settings, Log& log) : settings_(std::move(settings)), log_(log) {}

Server::~Server() {
  if (loader_.joinable())
    loader_.join();
  pool_.reset();
  connections_.clear();
  for (auto& [id, pending] : jobs_)
    if (pending.job.fd >= 0)
      ::close(pending.job.fd);
  CloseListeners(listeners_);
  for (int fd : {signalFd_, reloadPipe_[0], reloadPipe_[1]})
    if (fd >= 0)
      ::close(fd);
  kernel_.reset();
  if (!tempRoot_.empty())
    RemoveTree(tempRoot_);
}

Server::Loaded Server::load(const std::string& base) {
  Loaded out;
  const Clock::time_point started = Clock::now();
  const double processorStart = threadProcessorMilliseconds();
  auto kernel = base.empty() ? std::make_unique<plugin::TKYVAScanKernel>()
                             : std::make_unique<plugin::TKYVAScanKernel>(base);
  const bool ok = kernel->LoadBases();
  out.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  out.processorMilliseconds = threadProcessorMilliseconds() - processorStart;
  if (!ok) {
    out.error = "cannot load the databases from " + utf8(kernel->BasePath) + ": " +
                utf8(kernel->StartupError());
  } else if (kernel->Engine->Descriptors.empty()) {
    // A daemon that finds nothing would pass every mail as clean.
    out.error = "no signatures in " + utf8(kernel->BasePath);
  } else {
    out.kernel = std::move(kernel);
  }
  return out;
}

void Server::Prepare() {
  std::string root = settings_.tempDir;
  if (root.empty()) {
    const char* env = std::getenv("TMPDIR");
    root = env != nullptr && env[0] != '\0' ? env : "/tmp";
  }
  std::string templ = root + "/kyvd-XXXXXX";
  if (::mkdtemp(templ.data()) == nullptr)
    throw std::runtime_error("cannot make a private folder in " + root + ": " +
                             std::strerror(errno));
  tempRoot_ = templ;
  // The kernel's own temporary folder goes inside ours, and with it everything it writes.
  ::setenv("TMPDIR", tempRoot_.c_str(), 1);

  Loaded loaded = load(settings_.base);
  if (!loaded.kernel)
    throw std::runtime_error(loaded.error);
  kernel_ = std::move(loaded.kernel);
  versionText_ = versionText(*kernel_);
  logRefusals();
  log_.Info("databases loaded from " + utf8(kernel_->BasePath) + " in " +
            std::to_string(std::lround(loaded.milliseconds)) +
            " ms: " + std::to_string(kernel_->Engine->Descriptors.size()) + " signatures");

  listeners_ = InheritedListeners();
  if (listeners_.empty())
    listeners_ = OpenListeners(settings_);
  if (listeners_.empty())
    throw std::runtime_error("nothing to listen on: give --socket PATH or --tcp HOST:PORT");

  workerCount_ = settings_.workers;
  if (workerCount_ == 0) {
    const long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    workerCount_ = n > 0 ? static_cast<unsigned>(n) : 1;
  }

  sigset_t mask;
  sigemptyset(&mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGUSR2, SIGCHLD})
    sigaddset(&mask, sig);
  ::sigprocmask(SIG_BLOCK, &mask, nullptr);
  signalFd_ = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
  std::signal(SIGPIPE, SIG_IGN);
  if (signalFd_ < 0 || ::pipe2(reloadPipe_, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("cannot set up signals: ") + std::strerror(errno));
}

void Server::replenishWorkers() {
  static std::deque<Clock::time_point> recent;
  if (loader_.joinable() || stopping_)
    return; // never fork while the loader thread runs
  const Clock::time_point now = Clock::now();
  while (!recent.empty() && now - recent.front() > std::chrono::seconds(1))
    recent.pop_front();
  while (pool_->Current() < workerCount_ &&
         recent.size() < kSpawnsPerSecondPerWorker * workerCount_) {
    if (!pool_->Spawn(*kernel_)) {
      log_.Error(std::string("cannot start a worker: ") + std::strerror(errno));
      return;
    }
    recent.push_back(now);
  }
}

void Server::SubmitJob(Job job) {
  const std::uint64_t id = ++nextJob_;
  jobs_.emplace(id, PendingJob{std::move(job), false});
  queue_.push_back(id);
}

void Server::dispatchJobs() {
  while (!queue_.empty() && pool_->Idle() > 0) {
    const std::uint64_t id = queue_.front();
    const auto it = jobs_.find(id);
    if (it == jobs_.end()) {
      queue_.pop_front();
      continue;
    }
    if (!pool_->Dispatch(id, it->second.job.fd))
      break;
    queue_.pop_front();
    ::close(it->second.job.fd);
    it->second.job.fd = -1;
    it->second.dispatched = true;
  }
}

int Server::CreateSpoolFile() {
  int fd = ::open(tempRoot_.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
  // A file system without unnamed files: a named one, unlinked at once.
  std::string templ = tempRoot_ + "/stream-XXXXXX";
  fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd >= 0)
    ::unlink(templ.c_str());
  return fd;
}

void Server::LogResult(const std::string& label, const ScanResult& result) {
  if (!result.error.empty())
    log_.Warning(label + ": " + result.error);
  if (result.code == 1)
    log_.Info(label + ": " + utf8(result.verdict) + " FOUND");
  else if (result.code == 2)
    log_.Info(label + ": " + utf8(result.verdict) + " SUSPICIOUS");
}

void Server::routeResult(const ScanResult& result) {
  const auto it = jobs_.find(result.job);
  if (it == jobs_.end())
    return;
  const Job job = std::move(it->second.job);
  jobs_.erase(it);
  ++scanned_;
  found_ += result.code != 0 ? 1 : 0;
  LogResult(job.logLabel, result);
  if (const auto c = connections_.find(job.connection); c != connections_.end())
    c->second->OnResult(job.task, job.label, result);
}

void Server::reapChildren() {
  for (;;) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid <= 0)
      return;
    const std::optional<LostJob> lost = pool_->Reaped(pid, status);
    if (!lost)
      continue;
    const auto it = jobs_.find(lost->job);
    if (it == jobs_.end())
      continue;
    const Job job = std::move(it->second.job);
    jobs_.erase(it);
    ++lost_;
    const std::string reason = lost->overran ? "Scan time limit exceeded." : "Scan failed.";
    log_.Error(job.logLabel + ": worker " + std::to_string(pid) + " " + describeExit(status) +
               (lost->overran ? " after passing the scan time limit" : "") +
               "; the worker is replaced");
    if (const auto c = connections_.find(job.connection); c != connections_.end())
      c->second->OnJobLost(job.task, job.label, reason);
  }
}

void Server::handleSignals() {
  signalfd_siginfo info{};
  while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    switch (info.ssi_signo) {
    case SIGTERM:
    case SIGINT:
      stopping_ = true;
      break;
    case SIGHUP:
      log_.Reopen();
      break;
    case SIGUSR2:
      reloadWanted_ = true;
      break;
    case SIGCHLD:
      reapChildren();
      break;
    default:
      break;
    }
  }
}

void Server::startReload() {
  reloadWanted_ = false;
  log_.Info("reloading the databases");
  loader_ = std::thread([this] {
    reloaded_ = load(settings_.base);
    const char done = 1;
    [[maybe_unused]] const ssize_t n = ::write(reloadPipe_[1], &done, 1);
  });
}

void Server::finishReload() {
  char drain[16];
  while (::read(reloadPipe_[0], drain, sizeof drain) > 0) {
  }
  loader_.join();
  if (!reloaded_.kernel) {
    log_.Error("reload failed, the databases loaded before stay in use: " + reloaded_.error);
    return;
  }
  // Swapped in whole: the old workers finish their job on the old set, new ones start on the new.
  kernel_ = std::move(reloaded_.kernel);
  versionText_ = versionText(*kernel_);
  logRefusals();
  pool_->RetireAll();
  replenishWorkers();
  log_.Info("databases reloaded in " + std::to_string(std::lround(reloaded_.milliseconds)) +
            " ms (" + std::to_string(std::lround(reloaded_.processorMilliseconds)) +
            " ms of processor time): " + std::to_string(kernel_->Engine->Descriptors.size()) +
            " signatures");
}

void Server::logRefusals() {
  for (const engine::TDatabaseFile& file : kernel_->LoadFailures())
    log_.Warning("database file refused, scanning without it: " +
                 utf8(engine::DescribeRefusal(file)));
}

void Server::acceptFrom(const Listener& listener) {
  const SessionLimits limits{settings_.maxStream, std::chrono::seconds(settings_.readTimeout)};
  while (connections_.size() < settings_.maxQueue) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&address), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
      return;
    const std::uint64_t id = ++nextConnection_;
    connections_.emplace(id, std::make_unique<Connection>(fd, listener.unixSocket,
                                                          peerName(address), id, *this, limits));
  }
}

void Server::dropConnection(std::uint64_t id) {
  connections_.erase(id);
  // Jobs still waiting for a worker go with it; those being scanned are let finish.
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    if (it->second.job.connection == id && !it->second.dispatched) {
      ::close(it->second.job.fd);
      it = jobs_.erase(it);
    } else {
      ++it;
    }
  }
}

int Server::pollTimeout(Clock::time_point now) {
  std::optional<Clock::duration> wait =
      pool_->KillOverdue(std::chrono::seconds(settings_.maxScanTime), now);
  for (const auto& [id, c] : connections_)
    if (const std::optional<Clock::time_point> due = c->Deadline()) {
      const Clock::duration d = *due > now ? *due - now : Clock::duration::zero();
      if (!wait || d < *wait)
        wait = d;
    }
  if (pool_->Current() < workerCount_ && (!wait || *wait > std::chrono::milliseconds(250)))
    wait = std::chrono::milliseconds(250); // a worker to replace once the spawn rate allows
  if (!wait)
    return -1;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*wait).count();
  return static_cast<int>(std::min<long long>(ms, 60000));
}

std::string Server::VersionText() { return versionText_; }

std::string Server::StatsText() {
  const unsigned live = pool_->Current();
  const unsigned idle = pool_->Idle();
  std::string text = "POOLS: 1\n\nSTATE: VALID PRIMARY\n";
  text += "THREADS: live " + std::to_string(live) + "  idle " + std::to_string(idle) + " max " +
          std::to_string(workerCount_) + " idle-timeout 0\n";
  text += "QUEUE: " + std::to_string(queue_.size()) + " items\n";
  text += "CONNECTIONS: " + std::to_string(connections_.size()) + "\n";
  text += "SIGNATURES: " + std::to_string(kernel_->Engine->Descriptors.size()) + "\n";
  text += "SCANNED: " + std::to_string(scanned_) + " FOUND: " + std::to_string(found_) +
          " LOST: " + std::to_string(lost_) + "\n";
  text += "\nMEMSTATS: heap N/A mmap N/A used N/A free N/A releasable N/A pools 1 "
          "pools_used N/A pools_total N/A\nEND";
  return text;
}

void Server::Serve() {
  pool_ = std::make_unique<WorkerPool>(tempRoot_);
  replenishWorkers();
  std::string where;
  for (const Listener& l : listeners_)
    where += (where.empty() ? "" : ", ") + l.name;
  log_.Info("kyvd " + std::string(plugin::PluginVersion) + " answering on " + where + " with " +
            std::to_string(workerCount_) + " workers");

  enum class Kind { Signal, Reload, Listener, Worker, Client };
  struct Ref {
    Kind kind;
    std::uint64_t key; // listener index, worker pid or connection id
  };
  std::vector<pollfd> fds;
  std::vector<Ref> refs;
  while (!stopping_) {
    fds.clear();
    refs.clear();
    fds.push_back({signalFd_, POLLIN, 0});
    refs.push_back({Kind::Signal, 0});
    if (loader_.joinable()) {
      fds.push_back({reloadPipe_[0], POLLIN, 0});
      refs.push_back({Kind::Reload, 0});
    }
    if (connections_.size() < settings_.maxQueue)
      for (std::size_t i = 0; i < listeners_.size(); ++i) {
        fds.push_back({listeners_[i].fd, POLLIN, 0});
        refs.push_back({Kind::Listener, i});
      }
    for (const WorkerProcess& w : pool_->Workers())
      if (w.channel >= 0) {
        fds.push_back({w.channel, POLLIN, 0});
        refs.push_back({Kind::Worker, static_cast<std::uint64_t>(w.pid)});
      }
    for (const auto& [id, c] : connections_) {
      const short events = c->PollEvents();
      if (events == 0 && c->PeerClosed())
        continue; // its hang-up is known; polling would only repeat it
      fds.push_back({c->Fd(), events, 0});
      refs.push_back({Kind::Client, id});
    }
    const int timeout = pollTimeout(Clock::now());
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));

    for (std::size_t i = 0; i < fds.size() && !stopping_; ++i) {
      const short ev = fds[i].revents;
      if (ev == 0)
        continue;
      switch (refs[i].kind) {
      case Kind::Signal:
        handleSignals();
        break;
      case Kind::Reload:
        finishReload();
        break;
      case Kind::Listener:
        acceptFrom(listeners_[refs[i].key]);
        break;
      case Kind::Worker: {
        auto& workers = pool_->Workers();
        for (std::size_t w = 0; w < workers.size(); ++w)
          if (workers[w].pid == static_cast<pid_t>(refs[i].key) && workers[w].channel >= 0) {
            if (std::optional<ScanResult> r = pool_->Receive(w))
              routeResult(*r);
            break;
          }
        break;
      }
      case Kind::Client: {
        const auto c = connections_.find(refs[i].key);
        if (c == connections_.end())
          break;
        if (ev & (POLLIN | POLLHUP | POLLERR))
          c->second->OnReadable();
        if (ev & POLLOUT)
          c->second->OnWritable();
        break;
      }
      }
    }
    const Clock::time_point now = Clock::now();
    std::vector<std::uint64_t> finished;
    for (const auto& [id, c] : connections_) {
      c->OnTimer(now);
      if (c->Finished())
        finished.push_back(id);
    }
    for (const std::uint64_t id : finished)
      dropConnection(id);
    if (reloadWanted_ && !loader_.joinable())
      startReload();
    replenishWorkers();
    dispatchJobs();
  }
  log_.Info("shutting down");
}

} // namespace kyv::daemon
