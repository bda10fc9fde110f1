// The main process's side of the workers: forking them on the loaded kernel, handing out jobs,
// reading results, replacing the ones that crash or overrun their time, and retiring a whole
// generation after a reload.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "daemon/worker.h"

namespace kyv::plugin {
class TKYVAScanKernel;
}

namespace kyv::daemon {

using Clock = std::chrono::steady_clock;

struct WorkerProcess {
  pid_t pid = -1;
  int channel = -1;       // closed once the worker is gone or told to leave
  std::string tempFolder; // its private folder, removed when it is reaped
  unsigned generation = 0;
  bool busy = false;
  std::uint64_t job = 0;
  Clock::time_point started;
  bool retiring = false;
  bool overran = false; // killed for passing the scan time
};

// What became of a worker's job when the worker ended.
struct LostJob {
  std::uint64_t job = 0;
  bool overran = false;
  int status = 0;
};

class WorkerPool {
public:
  explicit WorkerPool(std::string tempRoot) : tempRoot_(std::move(tempRoot)) {}
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Forks one worker of the current generation on kernel. False when fork or its folder fails.
  bool Spawn(plugin::TKYVAScanKernel& kernel);
  // Starts a new generation: the present workers finish their job and leave.
  void RetireAll();
  // Workers of the current generation, alive.
  unsigned Current() const;
  unsigned Idle() const;
  // Hands a job to an idle worker of the current generation; false when none is idle.
  bool Dispatch(std::uint64_t job, int fd);
  // Reads the result the worker at index i sent; nullopt when its channel closed.
  std::optional<ScanResult> Receive(std::size_t i);
  // A child ended: forget it, remove its folder, and say which job it took along.
  std::optional<LostJob> Reaped(pid_t pid, int status);
  // Kills the busy workers that passed limit; returns the time until the next one would.
  std::optional<Clock::duration> KillOverdue(std::chrono::seconds limit, Clock::time_point now);
  // Tells every worker to stop and waits for them (SIGKILL after a grace period).
  void StopAll();

  std::vector<WorkerProcess>& Workers() { return workers_; }

private:
  void leave(WorkerProcess& w);

  std::string tempRoot_;
  std::vector<WorkerProcess> workers_;
  unsigned generation_ = 0;
  unsigned serial_ = 0;
};

// Removes a folder and everything in it without following links; for our own folders only.
void RemoveTree(const std::string& path);

} // namespace kyv::daemon
