// The scanner's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace kyvscan {

struct Options {
  std::string base;     // --base; empty: BASE beside the program
  std::string tempDir;  // --tempdir; empty: $TMPDIR or /tmp
  std::string logFile;  // --log
  bool chain = false;
  bool infectedOnly = false;
  bool summary = true;
  bool quiet = false;
  bool json = false;
  bool version = false;
  bool followSymlinks = false;
  // Matched against whole paths as given or found (ECMAScript grammar). An excluded folder is
  // not entered; includes apply to files only, so that folders are still walked.
  std::vector<std::regex> include;
  std::vector<std::regex> exclude;
  std::vector<std::string> paths; // "-" is standard input
};

// Parses the command line; on false the program ends with exitCode (help, a bad option).
bool ParseOptions(int argc, char** argv, Options& options, int& exitCode);

void PrintUsage(std::FILE* out);

} // namespace kyvscan
