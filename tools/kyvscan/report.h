// What the scanner prints: one line (or one JSON object) per top-level file, notes on standard
// error, the summary, all of it copied to the --log file; and the totals behind the exit status.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "plugin/scan_kernel.h"
#include "unpack/scan_gaps.h"

namespace kyvscan {

enum class Verdict { Clean, Infected, Suspicious, Error };

// The outcome of one top-level file.
struct FileResult {
  std::string shown; // the path as found or named, or "stdin"
  Verdict verdict = Verdict::Clean;
  std::string names; // the text the plug-in would hand its host
  std::vector<kyv::plugin::Finding> findings;
  std::string error; // what failed, with the system's reason
  // What kept the scan from being complete (the kernel's Gaps), and how many more there were.
  kyv::unpack::TScanGaps gaps;
  std::uint32_t gapsOmitted = 0;
};

// What the gaps of a scan make of its verdict: with --alert-exceeds-max a limit reached is a
// finding (Heuristics.Limits.Exceeded.LIMIT); otherwise a file that was clean as far as it was
// looked at, but whose members could not be written to be scanned, is an error, never OK.
void JudgeGaps(FileResult& result, const Options& options);

struct Totals {
  unsigned long files = 0;
  unsigned long infected = 0;
  unsigned long suspicious = 0;
  unsigned long errors = 0;
  unsigned long incomplete = 0; // top-level files something kept from being scanned completely
};

class Reporter {
public:
  explicit Reporter(const Options& options) : options_(options) {}
  ~Reporter();
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Opens the --log file for appending; false (with the message printed) when it cannot be.
  bool OpenLog();

  void File(const FileResult& result);
  // An error about a path that was not scanned (cannot be opened, a folder that cannot be read).
  void PathError(const std::string& path, const std::string& what, const std::string& reason);
  // A note on standard error that is no error; --quiet hides it.
  void Note(const std::string& text);
  // A warning or start-up error on standard error, shown even with --quiet.
  void Warning(const std::string& text);
  // refused: the database files the start-up refused, by name.
  void Summary(std::size_t signatures, const std::vector<std::string>& refused, double seconds);

  // 1 when anything was found, else 2 when anything failed, else 0.
  int ExitStatus() const;

private:
  void emit(std::FILE* stream, const std::string& line);
  void textLines(const FileResult& result);
  void jsonLine(const FileResult& result);
  void gapNote(const FileResult& result);

  const Options& options_;
  std::FILE* log_ = nullptr;
  Totals totals_;
};

} // namespace kyvscan
