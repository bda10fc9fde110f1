// The scanning processes. Hostile input is only ever parsed here: a worker owns its kernel (a
// copy-on-write image of the main process's), its own temporary folder and member names, and
// takes one job at a time over a socket pair: the job's number with the descriptor of the file
// to scan. A worker that crashes or hangs takes only its current job with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::plugin {
class TKYVAScanKernel;
}

namespace kyv::daemon {

struct ScanFinding {
  std::int32_t code = 0; // 1 infected, 2 suspicious
  std::string name;      // the engine's name, with a partial match's details
  std::string where;     // the container chain that held it; empty for the file itself
};

struct ScanResult {
  std::uint64_t job = 0;
  std::int32_t code = 0; // the verdict: 0 clean, 1 infected, 2 suspicious
  std::string verdict;   // the kernel's full verdict text, for the log
  std::string error;     // set when the file could not be scanned
  std::vector<ScanFinding> findings;
};

// Results travel in one datagram, well under the socket's default buffer of 208 KiB; these caps
// keep a verdict of a hundred thousand members inside it (the log line and the wire name need
// far less).
inline constexpr std::size_t kMaxResultFindings = 64;
inline constexpr std::size_t kMaxResultText = 4096; // verdict text and error
inline constexpr std::size_t kMaxFindingText = 512; // a finding's name and its chain

std::string EncodeResult(const ScanResult& result);
std::optional<ScanResult> DecodeResult(std::string_view bytes);

// Serves jobs on channel until the main process closes it, then ends the process. Never returns.
[[noreturn]] void RunWorker(plugin::TKYVAScanKernel& kernel, int channel,
                            const std::string& tempFolder);

// Sends one job: its number and the descriptor (which the caller still owns). False when the
// worker is gone.
bool SendJob(int channel, std::uint64_t job, int fd);

} // namespace kyv::daemon
