#include "options.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/system.h"

namespace kyvscan {

void PrintUsage(std::FILE* out) {
  std::fputs("Usage: kyvscan [OPTIONS] PATH...\n"
             "Scan files and folders (recursively) for known malware, unpacking mail,\n"
             "archives, disk images and documents to any depth (docs/kyvscan.md lists\n"
             "every format).\n"
             "A PATH of - scans standard input.\n"
             "\n"
             "  -d, --base DIR          signature databases folder (default: BASE beside kyvscan)\n"
             "  -c, --chain             for each finding, show the container chain that held it\n"
             "  -i, --infected          print only files with findings (and errors)\n"
             "      --no-summary        do not print the summary at the end\n"
             "  -q, --quiet             print only errors and warnings; the exit status tells it\n"
             "      --json              one JSON object per scanned file and line, no summary\n"
             "      --log FILE          append the lines printed to FILE as well\n"
             "  -f, --file-list FILE    scan the paths listed in FILE, one a line\n"
             "  -r, --recursive         accepted for habit's sake: folders are always walked\n"
             "      --follow-symlinks   walk into linked folders found inside folders\n"
             "      --exclude REGEX     skip files and folders whose path matches REGEX\n"
             "      --include REGEX     scan only files whose path matches REGEX\n"
             "      --tempdir DIR       make the temporary folder under DIR\n"
             "      --max-depth N       unpack containers nested at most N deep (default 32)\n"
             "      --max-scansize SIZE unpack at most SIZE bytes per file, all members together;\n"
             "                          K, M, G for KiB, MiB, GiB (default 1G)\n"
             "      --max-files N       unpack at most N members per file (default 100000)\n"
             "      --alert-exceeds-max report a file cut short by a limit as\n"
             "                          Heuristics.Limits.Exceeded.LIMIT FOUND\n"
             "  -h, --help              show this help\n"
             "  -V, --version           show the engine version and the databases' stamps\n"
             "\n"
             "Exit status: 0 nothing found, 1 something found, 2 an error occurred\n"
             "(and nothing was found). See docs/kyvscan.md.\n",
             out);
}

namespace {

class ArgReader {
public:
  ArgReader(int argc, char** argv) : argc_(argc), argv_(argv) {}
  bool more() const { return i_ < argc_; }
  std::string_view next() { return argv_[i_++]; }
  // The value of an option given as "--name VALUE" or "--name=VALUE"; the caller has matched
  // the name already.
  std::optional<std::string> value(std::string_view arg, std::string_view name) {
    if (arg.size() > name.size())
      return std::string(arg.substr(name.size() + 1));
    if (i_ >= argc_) {
      std::fprintf(stderr, "kyvscan: %.*s needs a value (see kyvscan --help)\n",
                   static_cast<int>(name.size()), name.data());
      return std::nullopt;
    }
    return std::string(argv_[i_++]);
  }

private:
  int argc_;
  char** argv_;
  int i_ = 1;
};

// "--name" or "--name=...".
bool isOption(std::string_view arg, std::string_view name) {
  return arg == name || (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                         arg[name.size()] == '=');
}

bool addRegex(std::vector<std::regex>& list, const std::string& text, const char* option) {
  try {
    list.emplace_back(text, std::regex::ECMAScript | std::regex::optimize);
    return true;
  } catch (const std::regex_error& error) {
    std::fprintf(stderr, "kyvscan: %s: not a regular expression: %s: %s\n", option, text.c_str(),
                 error.what());
    return false;
  }
}

bool readFileList(const std::string& listFile, std::vector<std::string>& paths) {
  std::FILE* in = std::fopen(listFile.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "kyvscan: cannot read the file list %s: %s\n", listFile.c_str(),
                 kyv::platform::lastErrorText().c_str());
    return false;
  }
  std::string line;
  for (int c; (c = std::fgetc(in)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (!line.empty())
      paths.push_back(line);
    line.clear();
  }
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (!line.empty())
    paths.push_back(line);
  if (failed)
    std::fprintf(stderr, "kyvscan: cannot read the file list %s\n", listFile.c_str());
  return !failed;
}

// Deeper nesting than this would recurse past what the stack of the smaller systems holds.
constexpr std::uint64_t kDeepestAllowed = 64;

bool setLimit(const char* option, const std::string& text, bool withUnit, std::uint64_t max,
              std::uint64_t& value) {
  if (ParseLimit(text, withUnit, max, value))
    return true;
  std::fprintf(stderr, "kyvscan: %s: not a %s from 0 to %llu: %s\n", option,
               withUnit ? "size" : "number", static_cast<unsigned long long>(max), text.c_str());
  return false;
}

} // namespace

bool ParseLimit(std::string_view text, bool withUnit, std::uint64_t max, std::uint64_t& value) {
  std::uint64_t unit = 1;
  if (withUnit && !text.empty()) {
    const char last = text.back();
    const std::string_view units = "KkMmGg";
    if (const std::size_t at = units.find(last); at != std::string_view::npos) {
      unit = std::uint64_t{1} << (10 * (at / 2 + 1));
      text.remove_suffix(1);
    }
  }
  if (text.empty())
    return false;
  std::uint64_t number = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (number > (max - digit) / 10)
      return false;
    number = number * 10 + digit;
  }
  if (number > max / unit)
    return false;
  value = number * unit;
  return true;
}

bool ParseOptions(int argc, char** argv, Options& options, int& exitCode) {
  ArgReader args(argc, argv);
  exitCode = 2;
  bool onlyPaths = false;
  while (args.more()) {
    const std::string_view arg = args.next();
    if (onlyPaths || arg == "-" || arg.empty() || arg[0] != '-') {
      options.paths.emplace_back(arg);
      continue;
    }
    std::optional<std::string> value;
    if (arg == "--") {
      onlyPaths = true;
    } else if (arg == "-h" || arg == "--help") {
      PrintUsage(stdout);
      exitCode = 0;
      return false;
    } else if (arg == "-V" || arg == "--version") {
      options.version = true;
    } else if (arg == "-d" || isOption(arg, "--base")) {
      if (!(value = args.value(arg, arg == "-d" ? "-d" : "--base")))
        return false;
      options.base = *value;
    } else if (arg == "-c" || arg == "--chain") {
      options.chain = true;
    } else if (arg == "-i" || arg == "--infected") {
      options.infectedOnly = true;
    } else if (arg == "--no-summary") {
      options.summary = false;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
      options.summary = false;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "-r" || arg == "--recursive") {
      // Folders are always walked; clamscan users type it by habit.
    } else if (arg == "--follow-symlinks") {
      options.followSymlinks = true;
    } else if (isOption(arg, "--log")) {
      if (!(value = args.value(arg, "--log")))
        return false;
      options.logFile = *value;
    } else if (isOption(arg, "--max-depth")) {
      std::uint64_t n = 0;
      if (!(value = args.value(arg, "--max-depth")) ||
          !setLimit("--max-depth", *value, false, kDeepestAllowed, n))
        return false;
      options.limits.MaxDepth = static_cast<int>(n);
    } else if (isOption(arg, "--max-files")) {
      std::uint64_t n = 0;
      if (!(value = args.value(arg, "--max-files")) ||
          !setLimit("--max-files", *value, false, UINT32_MAX, n))
        return false;
      options.limits.MaxFiles = static_cast<std::uint32_t>(n);
    } else if (isOption(arg, "--max-scansize")) {
      if (!(value = args.value(arg, "--max-scansize")) ||
          !setLimit("--max-scansize", *value, true, UINT64_MAX, options.limits.MaxScanSize))
        return false;
    } else if (arg == "--alert-exceeds-max") {
      options.alertExceedsMax = true;
    } else if (isOption(arg, "--tempdir")) {
      if (!(value = args.value(arg, "--tempdir")))
        return false;
      options.tempDir = *value;
    } else if (arg == "-f" || isOption(arg, "--file-list")) {
      if (!(value = args.value(arg, arg == "-f" ? "-f" : "--file-list")) ||
          !readFileList(*value, options.paths))
        return false;
    } else if (isOption(arg, "--exclude") || isOption(arg, "--include")) {
      const bool exclude = isOption(arg, "--exclude");
      const char* name = exclude ? "--exclude" : "--include";
      if (!(value = args.value(arg, name)) ||
          !addRegex(exclude ? options.exclude : options.include, *value, name))
        return false;
    } else {
      std::fprintf(stderr, "kyvscan: unknown option %.*s (see kyvscan --help)\n",
                   static_cast<int>(arg.size()), arg.data());
      return false;
    }
  }
  if (options.paths.empty() && !options.version) {
    PrintUsage(stderr);
    return false;
  }
  exitCode = 0;
  return true;
}

} // namespace kyvscan
