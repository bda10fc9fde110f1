#include "daemon/session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/endian.h"
#include "daemon/reply.h"

namespace kyv::daemon {

namespace {

// Replies a client has not read yet: past this, the connection stops producing more (its
// folder walk pauses, its commands wait) until the client catches up.
constexpr std::size_t kMaxPendingOutput = 64 * 1024;
// Descriptors received but not yet claimed by a FILDES; a client sending more gets them closed.
constexpr std::size_t kMaxQueuedDescriptors = 8;
// What one read takes from a client.
constexpr std::size_t kReadSize = 64 * 1024;

constexpr std::string_view kInvalidInSession = "Command invalid inside IDSESSION. ERROR";
constexpr std::string_view kUnknownCommand = "UNKNOWN COMMAND";
constexpr std::string_view kNoDescriptor = "No file descriptor received. ERROR";

std::string canonical(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr)
    return path;
  return buffer;
}

} // namespace

Connection::Connection(int fd, bool passesDescriptors, std::string peer, std::uint64_t id,
                       SessionHost& host, const SessionLimits& limits)
    : fd_(fd), passesDescriptors_(passesDescriptors), peer_(std::move(peer)), id_(id), host_(host),
      limits_(limits), lastActivity_(Clock::now()) {}

Connection::~Connection() {
  ::close(fd_);
  if (spool_ >= 0)
    ::close(spool_);
  for (const auto& d : descriptors_)
    ::close(d.second);
}

bool Connection::wantsInput() const {
  if (dead_ || peerClosed_)
    return false;
  switch (state_) {
  case State::Stream:
  case State::AwaitFd:
    return true;
  case State::Draining:
    return false;
  case State::Command:
    break;
  }
  const std::size_t maxTasks = 2 * std::max(1u, host_.Workers()) + 2;
  return (session_ || !sawCommand_) && tasks_.size() < maxTasks && out_.size() < kMaxPendingOutput;
}

short Connection::PollEvents() const {
  if (dead_)
    return 0;
  short events = 0;
  if (wantsInput())
    events |= POLLIN;
  if (!out_.empty())
    events |= POLLOUT;
  return events;
}

bool Connection::Finished() const {
  return dead_ || (state_ == State::Draining && tasks_.empty() && out_.empty());
}

void Connection::receive() {
  char buffer[kReadSize];
  std::vector<int> fds;
  ssize_t n;
  if (passesDescriptors_) {
    iovec iov{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxQueuedDescriptors)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    n = ::recvmsg(fd_, &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n > 0)
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
          const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
          for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            fds.push_back(fd);
          }
        }
  } else {
    n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      dead_ = true;
    return;
  }
  if (n == 0) {
    peerClosed_ = true;
    return;
  }
  received_ += static_cast<std::uint64_t>(n);
  in_.append(buffer, static_cast<std::size_t>(n));
  lastActivity_ = Clock::now();
  // A descriptor travels with the last byte of the message that carried it, and a read ends
  // with that message: its byte is the last one read.
  for (const int fd : fds) {
    if (descriptors_.size() < kMaxQueuedDescriptors)
      descriptors_.emplace_back(received_ - 1, fd);
    else
      ::close(fd);
  }
}

void Connection::OnReadable() {
  receive();
  pump();
}

void Connection::OnWritable() {
  while (!out_.empty()) {
    const ssize_t n = ::send(fd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        dead_ = true;
      break;
    }
    out_.erase(0, static_cast<std::size_t>(n));
    lastActivity_ = Clock::now();
  }
  pump();
}

void Connection::consume(std::size_t n) {
  in_.erase(0, n);
  inOffset_ += n;
}

void Connection::reply(std::string_view text, Delimiter delimiter, std::uint32_t sessionId) {
  out_ += Frame(text, delimiter, sessionId);
}

void Connection::pump() {
  while (!dead_ && step()) {
  }
  for (auto& [id, task] : tasks_)
    advance(id, task);
  finishTasks();
  if (!session_ && sawCommand_ && state_ == State::Command)
    state_ = State::Draining; // one command per connection outside a session
}

bool Connection::step() {
  switch (state_) {
  case State::Stream:
    return feedStream();
  case State::AwaitFd:
    return takeDescriptor();
  case State::Draining:
    return false;
  case State::Command:
    break;
  }
  if (!wantsInput() && !peerClosed_)
    return false;
  if (!session_ && sawCommand_)
    return false;
  const ParseResult r = ParseCommand(in_, !session_ && !sawCommand_);
  if (r.status == ParseStatus::NeedMore) {
    if (peerClosed_)
      state_ = State::Draining; // whatever was cut off is not a command
    return false;
  }
  if (r.status == ParseStatus::TooLong) {
    const Delimiter d = !in_.empty() && in_[0] == 'z' ? Delimiter::Nul : Delimiter::Newline;
    reply(session_ ? kInvalidInSession : kUnknownCommand, d, session_ ? ++nextId_ : 0);
    in_.clear();
    state_ = State::Draining;
    return false;
  }
  consume(r.consumed);
  sawCommand_ = true;
  execute(r.command);
  return true;
}

void Connection::execute(const Command& command) {
  const std::uint32_t id = session_ ? ++nextId_ : 0;
  const Delimiter d = command.delimiter;
  if (session_ && !AllowedInSession(command.verb)) {
    reply(kInvalidInSession, d, id);
    state_ = State::Draining;
    return;
  }
  switch (command.verb) {
  case Verb::Ping:
    reply("PONG", d, id);
    break;
  case Verb::Version:
    reply(host_.VersionText(), d, id);
    break;
  case Verb::VersionCommands:
    reply(host_.VersionText() + "| COMMANDS: " + std::string(CommandList()), d, id);
    break;
  case Verb::Stats:
    reply(host_.StatsText(), d, id);
    break;
  case Verb::Reload:
    reply("RELOADING", d, id);
    host_.RequestReload();
    break;
  case Verb::Shutdown:
    host_.RequestShutdown();
    state_ = State::Draining;
    break;
  case Verb::IdSession:
    session_ = true;
    break;
  case Verb::End:
    if (session_)
      state_ = State::Draining;
    else
      reply(kUnknownCommand, d, id);
    break;
  case Verb::Scan:
  case Verb::ContScan:
  case Verb::MultiScan:
  case Verb::AllMatchScan:
    startPathScan(command, id);
    break;
  case Verb::InStream:
    startStream(command, id);
    break;
  case Verb::FilDes:
    current_ = command;
    currentId_ = id;
    if (passesDescriptors_) {
      state_ = State::AwaitFd;
      lastActivity_ = Clock::now();
    } else {
      reply(kNoDescriptor, d, id); // nothing can come over TCP
    }
    break;
  case Verb::Unknown:
    reply(kUnknownCommand, d, id);
    state_ = State::Draining;
    break;
  }
}

void Connection::startStream(const Command& command, std::uint32_t sessionId) {
  current_ = command;
  currentId_ = sessionId;
  decoder_ = std::make_unique<ChunkDecoder>(limits_.maxStream);
  spool_ = host_.CreateSpoolFile();
  spoolFailed_ = spool_ < 0;
  state_ = State::Stream;
  lastActivity_ = Clock::now();
}

bool Connection::feedStream() {
  if (in_.empty()) {
    if (peerClosed_)
      dead_ = true; // gone mid-stream: nothing to answer
    return false;
  }
  const ChunkDecoder::Step s = decoder_->Feed(asBytes(in_));
  if (s.event == ChunkDecoder::Event::Data && !spoolFailed_) {
    const char* p = reinterpret_cast<const char*>(s.data.data());
    std::size_t left = s.data.size();
    while (left > 0) {
      const ssize_t n = ::write(spool_, p, left);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        spoolFailed_ = true; // a full disk: read the rest of the stream, answer an error
        break;
      }
      p += n;
      left -= static_cast<std::size_t>(n);
    }
  }
  consume(s.consumed);
  const Delimiter d = current_.delimiter;
  if (s.event == ChunkDecoder::Event::OverLimit) {
    reply("INSTREAM size limit exceeded. ERROR", d, currentId_);
    in_.clear();
    state_ = State::Draining;
    return false;
  }
  if (s.event != ChunkDecoder::Event::End)
    return s.consumed > 0;
  state_ = State::Command;
  const int file = spool_;
  spool_ = -1;
  if (spoolFailed_) {
    if (file >= 0)
      ::close(file);
    reply("stream: Can't write to temporary file. ERROR", d, currentId_);
    return true;
  }
  submitOne(Verb::InStream, file, "stream");
  return true;
}

bool Connection::takeDescriptor() {
  const Delimiter d = current_.delimiter;
  int fd = -1;
  if (!descriptors_.empty() && descriptors_.front().first < inOffset_) {
    fd = descriptors_.front().second; // it came with the command itself
    descriptors_.pop_front();
  } else if (!in_.empty()) {
    // The descriptor's own message: one byte, which is consumed with it.
    if (!descriptors_.empty() && descriptors_.front().first == inOffset_) {
      fd = descriptors_.front().second;
      descriptors_.pop_front();
    }
    consume(1);
  } else {
    if (peerClosed_)
      dead_ = true;
    return false;
  }
  state_ = State::Command;
  if (fd < 0) {
    reply(kNoDescriptor, d, currentId_);
    return true;
  }
  const std::string label = "fd[" + std::to_string(fd) + "]";
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // A pipe or a device would hold a worker until its time runs out.
    ::close(fd);
    reply(label + ": Not supported file type. ERROR", d, currentId_);
    return true;
  }
  submitOne(Verb::FilDes, fd, label);
  return true;
}

void Connection::submitOne(Verb verb, int fd, const std::string& label) {
  Task task;
  task.verb = verb;
  task.delimiter = current_.delimiter;
  task.sessionId = currentId_;
  task.inFlight = 1;
  const std::uint64_t taskId = ++nextTask_;
  tasks_.emplace(taskId, std::move(task));
  host_.SubmitJob({id_, taskId, fd, label, label + "(" + peer_ + ")"});
}

void Connection::startPathScan(const Command& command, std::uint32_t sessionId) {
  const Delimiter d = command.delimiter;
  const std::string& path = command.argument;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    reply(path + ": File path check failure: " + std::strerror(errno) + ". ERROR", d, sessionId);
    return;
  }
  Task task;
  task.verb = command.verb;
  task.delimiter = d;
  task.sessionId = sessionId;
  task.root = canonical(path);
  const std::uint64_t taskId = ++nextTask_;
  if (S_ISDIR(st.st_mode)) {
    task.walk = std::make_unique<DirWalk>(task.root);
    task.walkDone = false;
  } else {
    const int fd = OpenRegularFile(task.root, true);
    if (fd < 0) {
      reply(task.root + ": " + ErrorReason(errno) + " ERROR", d, sessionId);
      return;
    }
    task.inFlight = 1;
    host_.SubmitJob({id_, taskId, fd, task.root, task.root});
  }
  auto [it, inserted] = tasks_.emplace(taskId, std::move(task));
  advance(it->first, it->second);
}

void Connection::advance(std::uint64_t taskId, Task& task) {
  const unsigned concurrency = task.verb == Verb::MultiScan ? std::max(1u, host_.Workers()) : 1;
  while (!task.walkDone && !task.stop && task.inFlight < concurrency &&
         out_.size() < kMaxPendingOutput) {
    std::optional<WalkEntry> entry = task.walk->Next();
    if (!entry) {
      task.walkDone = true;
      break;
    }
    if (entry->fd < 0) {
      ++task.errors;
      reply(entry->path + ": " + entry->error + " ERROR", task.delimiter, task.sessionId);
      continue;
    }
    ++task.inFlight;
    host_.SubmitJob({id_, taskId, entry->fd, entry->path, entry->path});
  }
}

void Connection::finishTasks() {
  for (auto it = tasks_.begin(); it != tasks_.end();) {
    Task& t = it->second;
    if (t.inFlight > 0 || !(t.walkDone || t.stop)) {
      ++it;
      continue;
    }
    if (!t.root.empty() && t.found == 0 && t.errors == 0)
      reply(t.root + ": OK", t.delimiter, t.sessionId);
    it = tasks_.erase(it);
  }
}

void Connection::OnResult(std::uint64_t taskId, const std::string& label,
                          const ScanResult& result) {
  const auto it = tasks_.find(taskId);
  if (it == tasks_.end())
    return;
  Task& t = it->second;
  --t.inFlight;
  if (!result.error.empty()) {
    ++t.errors;
    reply(label + ": " + result.error + " ERROR", t.delimiter, t.sessionId);
  } else if (result.code == 0) {
    if (t.root.empty())
      reply(label + ": OK", t.delimiter, t.sessionId);
  } else {
    ++t.found;
    std::vector<NamedFinding> findings;
    for (const ScanFinding& f : result.findings)
      findings.push_back({f.code, f.name});
    if (t.verb == Verb::AllMatchScan) {
      std::vector<std::string> seen;
      for (const NamedFinding& f : findings) {
        const std::string name = WireName(std::span(&f, 1));
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
          continue;
        seen.push_back(name);
        reply(label + ": " + name + " FOUND", t.delimiter, t.sessionId);
      }
    } else {
      reply(label + ": " + WireName(findings) + " FOUND", t.delimiter, t.sessionId);
    }
    if (t.verb == Verb::Scan)
      t.stop = true;
  }
  pump();
}

void Connection::OnJobLost(std::uint64_t taskId, const std::string& label,
                           const std::string& reason) {
  const auto it = tasks_.find(taskId);
  if (it == tasks_.end())
    return;
  --it->second.inFlight;
  ++it->second.errors;
  reply(label + ": " + reason + " ERROR", it->second.delimiter, it->second.sessionId);
  pump();
}

std::optional<Clock::time_point> Connection::Deadline() const {
  if (dead_)
    return std::nullopt;
  const bool owed = state_ == State::Stream || state_ == State::AwaitFd ||
                    (state_ == State::Command && wantsInput() && tasks_.empty()) || !out_.empty();
  if (!owed)
    return std::nullopt;
  return lastActivity_ + limits_.readTimeout;
}

void Connection::OnTimer(Clock::time_point now) {
  const std::optional<Clock::time_point> due = Deadline();
  if (due && *due <= now)
    dead_ = true; // a stalled client: drop it, with whatever it sent
}

} // namespace kyv::daemon
