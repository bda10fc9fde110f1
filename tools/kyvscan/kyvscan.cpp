// The command-line scanner: the plug-in's scan kernel over files and folders.
//   kyvscan [options] PATH...
// One line per file, "PATH: OK", "PATH: NAMES FOUND" or "PATH: NAMES SUSPICIOUS", where NAMES
// is exactly the text the plug-in hands its host. Exit status 0 nothing found, 1 something
// found, 2 an error (databases not loaded, a path that cannot be read).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/antivirus.h"
#include "platform/file.h"
#include "platform/system.h"
#include "plugin/scan_kernel.h"
#include "unpack/arc_info.h"

namespace {

constexpr std::size_t kHostBufferLength = 1024; // what the plug-in's host receives

struct Options {
  std::string base;
  bool chain = false;
  bool infectedOnly = false;
  bool summary = true;
  bool quiet = false;
  std::vector<std::string> paths;
};

struct Totals {
  unsigned long files = 0;
  unsigned long infected = 0;
  unsigned long suspicious = 0;
  unsigned long errors = 0;
};

void usage(std::FILE* out) {
  std::fputs("Usage: kyvscan [OPTIONS] PATH...\n"
             "Scan files and folders (recursively) for known malware, unpacking mail,\n"
             "ZIP, CAB, GZIP, TAR, CHM and RAR containers to any depth.\n"
             "\n"
             "  -d, --base DIR     signature databases folder (default: BASE beside kyvscan)\n"
             "  -c, --chain        for each finding, show the container chain that held it\n"
             "  -i, --infected     print only files with findings\n"
             "      --no-summary   do not print the summary at the end\n"
             "  -q, --quiet        print nothing but errors; the exit status tells the result\n"
             "  -h, --help         show this help\n"
             "  -V, --version      show the engine version\n"
             "\n"
             "Exit status: 0 nothing found, 1 something found, 2 an error occurred.\n",
             out);
}

// Names come from the databases as Windows-1251 bytes; terminals want UTF-8.
std::string readable(const std::string& text) { return kyv::platform::cp1251ToUtf8(text); }

void printLine(const std::string& path, std::string_view rest) {
  std::string line = path;
  line += ": ";
  line.append(rest);
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stdout);
}

void reportFile(kyv::plugin::TKYVAScanKernel& kernel, const std::string& path,
                const Options& options, Totals& totals) {
  kernel.ClearVerdict();
  kernel.ScanFile(path, {});
  ++totals.files;
  const std::string host = kernel.VerdictText.substr(0, kHostBufferLength);
  if (kernel.VerdictCode == 1)
    ++totals.infected;
  else if (kernel.VerdictCode == 2)
    ++totals.suspicious;
  if (options.quiet)
    return;
  if (kernel.VerdictCode == 0) {
    if (!options.infectedOnly)
      printLine(path, "OK");
  } else {
    printLine(path, readable(host) + (kernel.VerdictCode == 1 ? " FOUND" : " SUSPICIOUS"));
  }
  if (options.chain)
    for (const kyv::plugin::Finding& finding : kernel.Findings) {
      const std::string where =
          finding.Chain.empty() ? path : kyv::unpack::ChainText(finding.Chain);
      const std::string line =
          "  " + readable(finding.Name) + " in " + readable(where) + "\n";
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  std::fflush(stdout);
}

void scanPath(kyv::plugin::TKYVAScanKernel& kernel, const std::string& path,
              const Options& options, Totals& totals) {
  if (kyv::platform::folderExists(path)) {
    std::string folder = path;
    const char sep = kyv::platform::pathSeparator();
    if (folder.back() != sep && folder.back() != '/')
      folder += sep;
    for (const auto& entry : kyv::platform::listFolder(folder))
      scanPath(kernel, folder + entry.name, options, totals);
    return;
  }
  if (!kyv::platform::File::openRead(path)) {
    ++totals.errors;
    std::fprintf(stderr, "%s: cannot open the file ERROR\n", path.c_str());
    return;
  }
  reportFile(kernel, path, options, totals);
}

bool parse(int argc, char** argv, Options& options, int& exitCode) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      exitCode = 0;
      return false;
    }
    if (arg == "-V" || arg == "--version") {
      std::puts("kyvscan 1.05 (KYV Mail checker engine)");
      exitCode = 0;
      return false;
    }
    if (arg == "-d" || arg == "--base") {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kyvscan: %s needs a folder\n", argv[i]);
        exitCode = 2;
        return false;
      }
      options.base = argv[++i];
    } else if (arg.rfind("--base=", 0) == 0) {
      options.base = std::string(arg.substr(7));
    } else if (arg == "-c" || arg == "--chain") {
      options.chain = true;
    } else if (arg == "-i" || arg == "--infected") {
      options.infectedOnly = true;
    } else if (arg == "--no-summary") {
      options.summary = false;
    } else if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
      options.summary = false;
    } else if (arg == "--") {
      for (++i; i < argc; ++i)
        options.paths.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-') {
      std::fprintf(stderr, "kyvscan: unknown option %s (see kyvscan --help)\n", argv[i]);
      exitCode = 2;
      return false;
    } else {
      options.paths.emplace_back(arg);
    }
  }
  if (options.paths.empty()) {
    usage(stderr);
    exitCode = 2;
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  Options options;
  int exitCode = 0;
  if (!parse(argc, argv, options, exitCode))
    return exitCode;

  const auto started = std::chrono::steady_clock::now();
  kyv::plugin::TKYVAScanKernel kernel =
      options.base.empty() ? kyv::plugin::TKYVAScanKernel()
                           : kyv::plugin::TKYVAScanKernel(options.base);
  if (!kernel.LoadBases()) {
    std::string why;
    if (kernel.Engine && !kernel.Engine->LoadErrors.empty())
      why = kernel.Engine->LoadErrors;
    else if (!kernel.VerdictText.empty())
      why = kernel.VerdictText;
    else if (!kyv::platform::folderExists(kernel.BasePath))
      why = "the folder does not exist";
    else
      why = "the unpack code (extract.kyv) is missing or damaged";
    std::fprintf(stderr, "kyvscan: cannot load the databases from %s: %s\n",
                 readable(kernel.BasePath).c_str(), readable(why).c_str());
    return 2;
  }

  if (kernel.Engine->Descriptors.empty() && !options.quiet)
    std::fprintf(stderr, "kyvscan: warning: no signatures in %s; only containers are checked\n",
                 readable(kernel.BasePath).c_str());

  Totals totals;
  for (const std::string& path : options.paths)
    scanPath(kernel, path, options, totals);

  if (options.summary) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("\n----------- SCAN SUMMARY -----------\n"
                "Known signatures: %zu\n"
                "Scanned files: %lu\n"
                "Infected files: %lu\n"
                "Suspicious files: %lu\n"
                "Errors: %lu\n"
                "Time: %.3f sec\n",
                kernel.Engine->Descriptors.size(), totals.files, totals.infected,
                totals.suspicious, totals.errors, seconds);
  }
  if (totals.errors != 0)
    return 2;
  return totals.infected + totals.suspicious != 0 ? 1 : 0;
}
