// The command-line scanner: the plug-in's scan kernel over files and folders.
//   kyvscan [options] PATH...
// One line per file, "PATH: OK", "PATH: NAMES FOUND", "PATH: NAMES SUSPICIOUS" or
// "PATH: WHAT: REASON ERROR", where NAMES is exactly the text the plug-in hands its host.
// Exit status 1 something found, else 2 an error, else 0.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/antivirus.h"
#include "options.h"
#include "platform/file.h"
#include "platform/system.h"
#include "plugin/scan_kernel.h"
#include "report.h"
#include "unpack/decompress.h"
#include "walker.h"

namespace {

constexpr std::size_t kHostBufferLength = 1024; // what the plug-in's host receives

using kyvscan::FileResult;
using kyvscan::Verdict;

std::string readable(const std::string& text) { return kyv::platform::cp1251ToUtf8(text); }

FileResult scanWithKernel(kyv::plugin::TKYVAScanKernel& kernel, const std::string& path,
                          const std::string& shown, const kyvscan::Options& options) {
  FileResult result;
  result.shown = shown;
  kernel.ClearVerdict();
  kernel.ScanFile(path, {});
  result.names = kernel.VerdictText;
  result.findings = kernel.Findings;
  result.gaps = kernel.Gaps;
  result.gapsOmitted = kernel.GapsOmitted;
  if (kernel.VerdictCode == 1)
    result.verdict = Verdict::Infected;
  else if (kernel.VerdictCode == 2)
    result.verdict = Verdict::Suspicious;
  kyvscan::JudgeGaps(result, options);
  result.names.resize(std::min(result.names.size(), kHostBufferLength));
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
        options_,
        {[this](const std::string& path) { file(path); },
         [this](const std::string& source, const std::string& shown) { stream(source, shown); },
         [this](const std::string& path, const std::string& what, const std::string& reason) {
           reporter_.PathError(path, what, reason);
         },
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
    reporter_.File(scanWithKernel(kernel_, path, path, options_));
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
    reporter_.File(scanWithKernel(kernel_, spool, shown, options_));
    kyv::platform::deleteFile(spool);
  }

  const kyvscan::Options& options_;
  kyv::plugin::TKYVAScanKernel& kernel_;
  kyvscan::Reporter& reporter_;
  unsigned streams_ = 0;
};

std::string stampText(double stamp) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", stamp);
  std::string out = text;
  // Days since 1899-12-30; shown as a date when it is a plausible one.
  if (stamp > 25569.0 && stamp < 2958466.0) {
    const auto when = static_cast<std::time_t>(std::llround((stamp - 25569.0) * 86400.0));
    if (const std::tm* tm = std::gmtime(&when)) {
      std::strftime(text, sizeof text, " (%Y-%m-%d)", tm);
      out += text;
    }
  }
  return out;
}

// -V: the engine's version and what each database file of the folder came to.
int printVersion(kyv::plugin::TKYVAScanKernel& kernel) {
  std::puts("kyvscan 1.05 (KYV Mail checker engine)");
  const bool ready = kernel.LoadBases();
  std::printf("Databases in %s:\n", readable(kernel.BasePath).c_str());
  for (const kyv::engine::TDatabaseFile& file : kernel.DatabaseFiles()) {
    if (file.Loaded)
      std::printf("  %s: stamp %s, %zu records\n", readable(file.FileName).c_str(),
                  stampText(file.Stamp).c_str(), file.Records);
    else
      std::printf("  refused %s\n", readable(kyv::engine::DescribeRefusal(file)).c_str());
  }
  if (!ready)
    std::printf("Cannot scan: %s\n", readable(kernel.StartupError()).c_str());
  return ready ? 0 : 2;
}

// Loads the databases; false (with the message printed) when scanning must not start.
bool loadBases(kyv::plugin::TKYVAScanKernel& kernel, kyvscan::Reporter& reporter) {
  const bool ready = kernel.LoadBases();
  // A refused update is no reason to stop, but the user must know the scan runs without it;
  // shown even with --quiet.
  for (const kyv::engine::TDatabaseFile& file : kernel.LoadFailures())
    if (!file.Required)
      reporter.Warning("kyvscan: warning: database file refused, scanning without it: " +
                       readable(kernel.BasePath + kyv::engine::DescribeRefusal(file)));
  if (!ready) {
    reporter.Warning("kyvscan: cannot load the databases from " + readable(kernel.BasePath) + ": " +
                     readable(kernel.StartupError()));
    return false;
  }
  if (kernel.Engine->Descriptors.empty()) {
    // Every file would come out OK: refusing is the only honest answer.
    reporter.Warning("kyvscan: no signatures in " + readable(kernel.BasePath) +
                     ": nothing could be found, so nothing is scanned");
    return false;
  }
  return true;
}

int run(int argc, char** argv) {
  kyvscan::Options options;
  int exitCode = 0;
  if (!kyvscan::ParseOptions(argc, argv, options, exitCode))
    return exitCode;
  kyv::plugin::TKYVAScanKernel kernel = options.base.empty()
                                            ? kyv::plugin::TKYVAScanKernel()
                                            : kyv::plugin::TKYVAScanKernel(options.base);
  if (options.version)
    return printVersion(kernel);

  const auto started = std::chrono::steady_clock::now();
  if (!options.tempDir.empty())
    kyv::platform::setTempRoot(options.tempDir);
  kyv::platform::removeTempFolderOnSignals();

  kyvscan::Reporter reporter(options);
  if (!reporter.OpenLog())
    return 2;
  if (!loadBases(kernel, reporter))
    return 2;
  kernel.Limits = options.limits;
  if (const std::string error = kyv::platform::tempFolderError(); !error.empty())
    reporter.Note("kyvscan: warning: cannot make the temporary folder in " + error +
                  "; containers cannot be unpacked");
  if (kernel.Unpacker && !kernel.Unpacker->RarModuleProblem.empty())
    reporter.Note("kyvscan: warning: " + kernel.Unpacker->RarModuleProblem +
                  "; RAR archives are not unpacked");

  Scan(options, kernel, reporter).Run();

  std::vector<std::string> refused;
  for (const kyv::engine::TDatabaseFile& file : kernel.LoadFailures())
    refused.push_back(readable(file.FileName));
  reporter.Summary(
      kernel.Engine->Descriptors.size(), refused,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return reporter.ExitStatus();
}

} // namespace

int main(int argc, char** argv) {
  // A failure nothing below handled ends the run as an error with its reason, never as a crash
  // or a silent stop: the scan did not finish, so it cannot answer OK. The kernel and its
  // temporary folder are gone by the time the message is printed.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("kyvscan: error: out of memory\n", stderr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kyvscan: error: %s\n", e.what());
  } catch (...) {
    std::fputs("kyvscan: error: unexpected failure\n", stderr);
  }
  return 2;
}
