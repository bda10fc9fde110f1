// The scanner's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "unpack/limits.h"

namespace kyvscan {

struct Options {
  std::string base;    // --base; empty: BASE beside the program
  std::string tempDir; // --tempdir; empty: $TMPDIR or /tmp
  std::string logFile; // --log
  bool chain = false;
  bool infectedOnly = false;
  bool summary = true;
  bool quiet = false;
  bool json = false;
  bool version = false;
  bool followSymlinks = false;
  // --max-depth, --max-scansize, --max-files: the kernel's limits for each top-level file.
  kyv::unpack::TScanLimits limits;
  // --alert-exceeds-max: a file cut short by a limit is reported as found.
  bool alertExceedsMax = false;
  // Matched against whole paths as given or found (ECMAScript grammar). An excluded folder is
  // not entered; includes apply to files only, so that folders are still walked.
  std::vector<std::regex> include;
  std::vector<std::regex> exclude;
  std::vector<std::string> paths; // "-" is standard input
};

// Parses the command line; on false the program ends with exitCode (help, a bad option).
bool ParseOptions(int argc, char** argv, Options& options, int& exitCode);

// A count or size as the limit options take it: decimal digits, for a size optionally followed
// by K, M or G (powers of 1024). False when it is none or exceeds max.
bool ParseLimit(std::string_view text, bool withUnit, std::uint64_t max, std::uint64_t& value);

void PrintUsage(std::FILE* out);

} // namespace kyvscan
