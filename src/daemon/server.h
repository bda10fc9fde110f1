// The main process: owns the loaded kernel, the listening sockets, the client connections and
// the worker pool, and runs one poll loop over them. It parses only the protocol itself; every
// scan happens in a worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "daemon/listener.h"
#include "daemon/log.h"
#include "daemon/pool.h"
#include "daemon/session.h"
#include "daemon/settings.h"

namespace kyv::plugin {
class TKYVAScanKernel;
}

namespace kyv::daemon {

class Server final : public SessionHost {
public:
  Server(Settings settings, Log& log);
  ~Server() override;
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Makes the temporary folder, loads the databases and opens the sockets; throws
  // std::runtime_error with a message for the user.
  void Prepare();
  // Starts the workers and serves until SHUTDOWN or a stop signal.
  void Serve();

  // SessionHost
  void SubmitJob(Job job) override;
  std::string VersionText() override;
  std::string StatsText() override;
  void RequestReload() override { reloadWanted_ = true; }
  void RequestShutdown() override { stopping_ = true; }
  int CreateSpoolFile() override;
  void LogResult(const std::string& label, const ScanResult& result) override;
  unsigned Workers() const override { return workerCount_; }

private:
  struct PendingJob {
    Job job;
    bool dispatched = false;
  };
  struct Loaded {
    std::unique_ptr<plugin::TKYVAScanKernel> kernel;
    std::string error;
    double milliseconds = 0;
    double processorMilliseconds = 0; // of the loading thread alone
  };

  static Loaded load(const std::string& base);
  void startReload();
  void finishReload();
  // Warns of each database file the kernel in use refused (a damaged or older update).
  void logRefusals();
  void handleSignals();
  void reapChildren();
  void acceptFrom(const Listener& listener);
  void dispatchJobs();
  void replenishWorkers();
  void dropConnection(std::uint64_t id);
  void routeResult(const ScanResult& result);
  int pollTimeout(Clock::time_point now);

  Settings settings_;
  Log& log_;
  std::string tempRoot_;
  std::unique_ptr<plugin::TKYVAScanKernel> kernel_;
  std::string versionText_;
  std::vector<Listener> listeners_;
  std::unique_ptr<WorkerPool> pool_;
  unsigned workerCount_ = 1;
  std::map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::uint64_t nextConnection_ = 0;
  std::map<std::uint64_t, PendingJob> jobs_;
  std::deque<std::uint64_t> queue_;
  std::uint64_t nextJob_ = 0;
  int signalFd_ = -1;

  // A reload reads the databases on a thread beside the loop; the loop swaps the result in.
  std::thread loader_;
  Loaded reloaded_;
  int reloadPipe_[2] = {-1, -1};
  bool reloadWanted_ = false;
  bool stopping_ = false;

  std::uint64_t scanned_ = 0;
  std::uint64_t found_ = 0;
  std::uint64_t lost_ = 0;
};

} // namespace kyv::daemon
