// One client connection: reads its commands, spools INSTREAM data to an unnamed temporary file,
// collects descriptors passed with FILDES, walks the folders it names, and writes back the
// replies of the jobs the workers finish for it. A connection holds at most a few jobs at a time
// and stops reading while it does, so no client makes the daemon buffer without bound.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "daemon/command.h"
#include "daemon/instream.h"
#include "daemon/pool.h"
#include "daemon/walk.h"
#include "daemon/worker.h"

namespace kyv::daemon {

// A file to scan on behalf of a connection's command.
struct Job {
  std::uint64_t connection = 0;
  std::uint64_t task = 0;
  int fd = -1;          // owned by the job until a worker has it
  std::string label;    // how the reply names it
  std::string logLabel; // how the log names it
};

// What a connection needs of the daemon around it.
class SessionHost {
public:
  virtual ~SessionHost() = default;
  virtual void SubmitJob(Job job) = 0;
  virtual std::string VersionText() = 0;
  virtual std::string StatsText() = 0;
  virtual void RequestReload() = 0;
  virtual void RequestShutdown() = 0;
  // An unnamed file in the daemon's temporary folder, gone when its last descriptor closes.
  virtual int CreateSpoolFile() = 0;
  virtual void LogResult(const std::string& label, const ScanResult& result) = 0;
  virtual unsigned Workers() const = 0;
};

struct SessionLimits {
  std::uint64_t maxStream = 0;
  std::chrono::seconds readTimeout{120};
};

class Connection {
public:
  Connection(int fd, bool passesDescriptors, std::string peer, std::uint64_t id, SessionHost& host,
             const SessionLimits& limits);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int Fd() const { return fd_; }
  std::uint64_t Id() const { return id_; }
  short PollEvents() const;
  void OnReadable();
  void OnWritable();
  void OnResult(std::uint64_t task, const std::string& label, const ScanResult& result);
  // The job's worker crashed or overran its time.
  void OnJobLost(std::uint64_t task, const std::string& label, const std::string& reason);
  // When the connection next needs attention with no event (a client owes us bytes).
  std::optional<Clock::time_point> Deadline() const;
  void OnTimer(Clock::time_point now);
  // Nothing more will happen: the daemon may close and forget it.
  bool Finished() const;
  bool PeerClosed() const { return peerClosed_; }

private:
  enum class State { Command, Stream, AwaitFd, Draining };
  struct Task {
    Verb verb = Verb::Unknown;
    Delimiter delimiter = Delimiter::Newline;
    std::uint32_t sessionId = 0;
    std::string root;              // path scans: the path as the client named it
    std::unique_ptr<DirWalk> walk; // path scans of a folder
    unsigned inFlight = 0;
    unsigned found = 0;
    unsigned errors = 0;
    bool walkDone = true;
    bool stop = false; // SCAN stops at the first finding
  };

  void pump();
  bool step();
  bool feedStream();
  bool takeDescriptor();
  void execute(const Command& command);
  void reply(std::string_view text, Delimiter delimiter, std::uint32_t sessionId);
  void startPathScan(const Command& command, std::uint32_t sessionId);
  void startStream(const Command& command, std::uint32_t sessionId);
  // A stream's or a passed descriptor's one job, replied to as the current command.
  void submitOne(Verb verb, int fd, const std::string& label);
  void advance(std::uint64_t taskId, Task& task);
  void finishTasks();
  void consume(std::size_t n);
  void closeAfterReplies();
  void receive();
  bool wantsInput() const;

  int fd_;
  bool passesDescriptors_;
  std::string peer_;
  std::uint64_t id_;
  SessionHost& host_;
  SessionLimits limits_;

  State state_ = State::Command;
  bool session_ = false;
  bool sawCommand_ = false;
  bool peerClosed_ = false;
  bool dead_ = false; // reset or an unrecoverable error: drop without replies
  std::uint32_t nextId_ = 0;

  std::string in_;
  std::uint64_t inOffset_ = 0;                            // stream offset of in_[0]
  std::uint64_t received_ = 0;                            // bytes received in all
  std::deque<std::pair<std::uint64_t, int>> descriptors_; // offset of their byte, descriptor
  std::string out_;
  Clock::time_point lastActivity_;

  // The command being read in (INSTREAM data, FILDES descriptor).
  Command current_;
  std::uint32_t currentId_ = 0;
  std::unique_ptr<ChunkDecoder> decoder_;
  int spool_ = -1;
  bool spoolFailed_ = false;

  std::map<std::uint64_t, Task> tasks_;
  std::uint64_t nextTask_ = 0;
};

} // namespace kyv::daemon
