// The command-line scanner: the plug-in's scan kernel over files and folders.
//   kyvscan [options] PATH...
// One line per file, "PATH: OK", "PATH: NAMES FOUND", "PATH: NAMES SUSPICIOUS" or
// "PATH: WHAT: REASON ERROR", where NAMES is exactly the text the plug-in hands its host.
// Exit status 1 something found, else 2 an error, else 0.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "engine/antivirus.h"
#include "options.h"
#include "platform/file.h"
#include "platform/system.h"
#include "plugin/scan_kernel.h"
#include "report.h"
#include "walker.h"

namespace {

constexpr std::size_t kHostBufferLength = 1024; // what the plug-in's host receives

using kyvscan::FileResult;
using kyvscan::Verdict;

std::string readable(const std::string& text) { return kyv::platform::cp1251ToUtf8(text); }

FileResult scanWithKernel(kyv::plugin::TKYVAScanKernel& kernel, const std::string& path,
                          const std::string& shown) {
  FileResult result;
  result.shown = shown;
  kernel.ClearVerdict();
  kernel.ScanFile(path, {});
  result.names = kernel.VerdictText.substr(0, kHostBufferLength);
  result.findings = kernel.Findings;
  if (kernel.VerdictCode == 1)
    result.verdict = Verdict::Infected;
  else if (kernel.VerdictCode == 2)
    result.verdict = Verdict::Suspicious;
  return result;
}

// One scan run over everything the user named.
class Scan {
public:
  Scan(const kyvscan::Options& options, kyv::plugin::TKYVAScanKernel& kernel,
       kyvscan::Reporter& reporter)
      : options_(options), kernel_(kernel), reporter_(reporter) {}

  void Run() {
    kyvscan::Walker walker(
        options_, {[this](const std::string& path) { file(path); },
                   [this](const std::string& source, const std::string& shown) {
                     stream(source, shown);
                   },
                   [this](const std::string& path, const std::string& what,
                          const std::string& reason) { reporter_.PathError(path, what, reason); },
                   [this](const std::string& path, const std::string& why) {
                     reporter_.Note(path + ": skipped: " + why);
                   }});
    for (const std::string& path : options_.paths)
      walker.Visit(path);
  }

private:
  void file(const std::string& path) {
    // Opened here first for the system's reason when it cannot be read; the kernel would only
    // see a file it could not sample.
    if (!kyv::platform::File::openRead(path)) {
      reporter_.PathError(path, "cannot open the file", kyv::platform::lastErrorText());
      return;
    }
    reporter_.File(scanWithKernel(kernel_, path, path));
  }

  void stream(const std::string& source, const std::string& shown) {
    // Read through to a private file first: the kernel samples the end and reads members at
    // random, which a pipe cannot give.
    const std::string folder = kyv::plugin::TempFolderPath();
    const std::string spool = folder + "kyv_" + std::to_string(kyv::platform::processId()) +
                              "_stream_" + std::to_string(++streams_) + ".tmp";
    std::string error;
    if (!kyv::platform::tempFolderError().empty()) {
      reporter_.PathError(shown, "cannot make the temporary folder",
                          kyv::platform::tempFolderError());
      return;
    }
    if (!kyv::platform::copyStreamToFile(source, spool, error)) {
      reporter_.PathError(shown, "cannot read the stream into " + spool, error);
      return;
    }
    reporter_.File(scanWithKernel(kernel_, spool, shown));
    kyv::platform::deleteFile(spool);
  }

  const kyvscan::Options& options_;
  kyv::plugin::TKYVAScanKernel& kernel_;
  kyvscan::Reporter& reporter_;
  unsigned streams_ = 0;
};

// Loads the databases; false (with the message printed) when scanning must not start.
bool loadBases(kyv::plugin::TKYVAScanKernel& kernel, const kyvscan::Options& options) {
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
    return false;
  }
  if (kernel.Engine->Descriptors.empty() && !options.quiet)
    std::fprintf(stderr, "kyvscan: warning: no signatures in %s; only containers are checked\n",
                 readable(kernel.BasePath).c_str());
  return true;
}

} // namespace

int main(int argc, char** argv) {
  kyvscan::Options options;
  int exitCode = 0;
  if (!kyvscan::ParseOptions(argc, argv, options, exitCode))
    return exitCode;
  if (options.version) {
    std::puts("kyvscan 1.05 (KYV Mail checker engine)");
    return 0;
  }

  const auto started = std::chrono::steady_clock::now();
  if (!options.tempDir.empty())
    kyv::platform::setTempRoot(options.tempDir);
  kyv::platform::removeTempFolderOnSignals();

  kyvscan::Reporter reporter(options);
  if (!reporter.OpenLog())
    return 2;
  kyv::plugin::TKYVAScanKernel kernel =
      options.base.empty() ? kyv::plugin::TKYVAScanKernel()
                           : kyv::plugin::TKYVAScanKernel(options.base);
  if (!loadBases(kernel, options))
    return 2;
  if (const std::string error = kyv::platform::tempFolderError(); !error.empty())
    reporter.Note("kyvscan: warning: cannot make the temporary folder in " + error +
                  "; containers cannot be unpacked");

  Scan(options, kernel, reporter).Run();

  reporter.Summary(kernel.Engine->Descriptors.size(),
                   std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return reporter.ExitStatus();
}
