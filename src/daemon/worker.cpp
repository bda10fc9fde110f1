#include "daemon/worker.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plugin/scan_kernel.h"
#include "unpack/arc_info.h"
#include "unpack/decompress.h"

namespace kyv::daemon {

namespace {

void putU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i)
    out += static_cast<char>(v >> (8 * i));
}
void putText(std::string& out, std::string_view text, std::size_t cap) {
  text = text.substr(0, cap);
  putU64(out, text.size());
  out.append(text);
}

class Reader {
public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool U64(std::uint64_t& v) {
    if (bytes_.size() < 8)
      return false;
    v = 0;
    for (int i = 0; i < 8; ++i)
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes_[i])) << (8 * i);
    bytes_.remove_prefix(8);
    return true;
  }
  bool Text(std::string& text) {
    std::uint64_t n = 0;
    if (!U64(n) || n > bytes_.size())
      return false;
    text.assign(bytes_.substr(0, n));
    bytes_.remove_prefix(n);
    return true;
  }

private:
  std::string_view bytes_;
};

// One job message: the job's number, little-endian, with room for one descriptor beside it.
struct JobMessage {
  char data[8] = {};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec iov{data, sizeof data};
  msghdr msg{};
  JobMessage() {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
};

ScanResult scanDescriptor(plugin::TKYVAScanKernel& kernel, int fd) {
  ScanResult result;
  kernel.ClearVerdict();
  // The descriptor's own file, from offset 0 whatever the sender's position was.
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  try {
    kernel.ScanFile(path, {});
  } catch (const std::exception& error) {
    result.error = std::string("Scan failed: ") + error.what();
  }
  result.code = kernel.VerdictCode;
  result.verdict = kernel.VerdictText;
  for (const plugin::Finding& f : kernel.Findings) {
    if (result.findings.size() == kMaxResultFindings)
      break;
    result.findings.push_back(
        {f.Code, f.Name, f.Chain.empty() ? std::string() : unpack::ChainText(f.Chain)});
  }
  return result;
}

} // namespace

std::string EncodeResult(const ScanResult& r) {
  std::string out;
  putU64(out, r.job);
  putU64(out, static_cast<std::uint32_t>(r.code));
  putText(out, r.verdict, kMaxResultText);
  putText(out, r.error, kMaxResultText);
  const std::size_t count = std::min(r.findings.size(), kMaxResultFindings);
  putU64(out, count);
  for (std::size_t i = 0; i < count; ++i) {
    putU64(out, static_cast<std::uint32_t>(r.findings[i].code));
    putText(out, r.findings[i].name, kMaxFindingText);
    putText(out, r.findings[i].where, kMaxFindingText);
  }
  return out;
}

std::optional<ScanResult> DecodeResult(std::string_view bytes) {
  ScanResult r;
  Reader in(bytes);
  std::uint64_t code = 0;
  std::uint64_t count = 0;
  if (!in.U64(r.job) || !in.U64(code) || !in.Text(r.verdict) || !in.Text(r.error) ||
      !in.U64(count) || count > kMaxResultFindings)
    return std::nullopt;
  r.code = static_cast<std::int32_t>(code);
  for (std::uint64_t i = 0; i < count; ++i) {
    ScanFinding f;
    std::uint64_t c = 0;
    if (!in.U64(c) || !in.Text(f.name) || !in.Text(f.where))
      return std::nullopt;
    f.code = static_cast<std::int32_t>(c);
    r.findings.push_back(std::move(f));
  }
  return r;
}

bool SendJob(int channel, std::uint64_t job, int fd) {
  JobMessage m;
  for (int i = 0; i < 8; ++i)
    m.data[i] = static_cast<char>(job >> (8 * i));
  cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
  ssize_t n;
  do
    n = ::sendmsg(channel, &m.msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof m.data);
}

void RunWorker(plugin::TKYVAScanKernel& kernel, int channel, const std::string& tempFolder) {
  // A worker outlives nothing: when the main process dies, so does it.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  kernel.Unpacker->SetTempFolder(tempFolder);
  kernel.Unpacker->TempPrefix = "kyv_" + std::to_string(::getpid());
  std::string reply;
  for (;;) {
    JobMessage m;
    const ssize_t n = ::recvmsg(channel, &m.msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR)
      continue;
    if (n != static_cast<ssize_t>(sizeof m.data))
      ::_exit(0); // the main process closed the channel: retire
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m.msg); c != nullptr; c = CMSG_NXTHDR(&m.msg, c))
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
        std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    std::uint64_t job = 0;
    for (int i = 0; i < 8; ++i)
      job |= static_cast<std::uint64_t>(static_cast<unsigned char>(m.data[i])) << (8 * i);
    ScanResult result;
    if (fd < 0)
      result.error = "No file descriptor received.";
    else
      result = scanDescriptor(kernel, fd);
    result.job = job;
    if (fd >= 0)
      ::close(fd);
    reply = EncodeResult(result);
    if (::send(channel, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
      ::_exit(0);
  }
}

} // namespace kyv::daemon
