// The one object behind the plug-in's entry points: it owns the signature engine and the
// unpacking kernel, scans each file the host hands in together with every member extracted from
// it, and gathers one verdict.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/database_files.h"
#include "unpack/arc_info.h"
#include "unpack/limits.h"
#include "unpack/scan_gaps.h"

namespace kyv::engine {
class TAntivirus;
}
namespace kyv::unpack {
class TKYVDecompress;
}

namespace kyv::plugin {

// One finding with the chain that led to it, for front ends that show where it was found. The
// chain's ArcType says each container's type ("ZIP", "TAR", ...) and, for mail parts, the
// transfer encoding ("E-MAIL:base64").
struct Finding {
  std::int32_t Code = 0; // 1 infected, 2 suspicious
  std::string Name;      // the engine's name (with the details of a partial match)
  unpack::TKYVArcInfoArray Chain;
};

// How many gaps one top-level file keeps in detail; a hostile file can make one per member.
inline constexpr std::size_t kMaxGapsKept = 100;

// The kernel behind every front end: the plug-in's entry points, kyvscan and the daemon.
//
// Start-up: LoadBases; Ready when everything loaded, CanScan when enough loaded to scan at all.
// Per top-level file: ClearVerdict, then ScanFile(path, {}). Afterwards
//   VerdictCode / VerdictText  what the plug-in hands its host (unchanged by anything below);
//   Findings                   each finding with its container chain;
//   Gaps (+ GapsOmitted)       what kept the scan from being complete: a limit reached (depth,
//                              bytes written, members), a member file that could not be created
//                              or written, a read error, an encrypted member or an unsupported
//                              method; empty when the file was looked at completely.
// Limits may be changed at any time; they apply from the next top-level file on.
class TKYVAScanKernel {
public:
  // The database folder is BASE beside the module that holds this code.
  TKYVAScanKernel();
  // The database folder given (the command-line tools' --base).
  explicit TKYVAScanKernel(const std::string& baseFolder);
  virtual ~TKYVAScanKernel();
  TKYVAScanKernel(const TKYVAScanKernel&) = delete;
  TKYVAScanKernel& operator=(const TKYVAScanKernel&) = delete;

  // Loads the databases and the unpack code; true, and Ready, only when both loaded. A raised
  // error leaves its message in VerdictText.
  bool LoadBases();
  // Scans one file on disk and every member unpacked from it; the findings land in VerdictText,
  // VerdictCode and Findings, what was left unscanned in Gaps.
  void ScanFile(const std::string& path, const unpack::TKYVArcInfoArray& chain);
  // The unpacker's member callback.
  bool OnArcItem(const unpack::TKYVArcInfoArray& chain);
  // The unpacker's gap callback: keeps the first kMaxGapsKept, counts the rest.
  void OnScanGap(const unpack::TScanGap& gap);
  // Clears the verdict, the findings and the gaps before a top-level file.
  void ClearVerdict();
  // True when there is an engine with at least one signature: enough to scan, even when the
  // start-up failed for something else (no unpack code, a damaged later file).
  bool CanScan() const;
  // Every database file the last LoadBases looked at, extract.kyv last, taken in or refused.
  engine::TDatabaseFiles DatabaseFiles() const;
  // Those it refused, with their reasons; the plug-in's answers do not change for them.
  engine::TDatabaseFiles LoadFailures() const;
  // Why LoadBases failed, naming the file that made it fail (Windows-1251 where the engine's
  // message is quoted); empty after a successful start.
  std::string StartupError() const;
  // True when something kept the last top-level file from being scanned completely.
  bool Incomplete() const { return !Gaps.empty(); }

  bool Ready = false;
  std::string BasePath;
  std::unique_ptr<engine::TAntivirus> Engine;
  std::unique_ptr<unpack::TKYVDecompress> Unpacker;
  std::string VerdictText;
  std::int32_t VerdictCode = 0;
  std::vector<Finding> Findings;
  unpack::TScanGaps Gaps;
  std::uint32_t GapsOmitted = 0;
  unpack::TScanLimits Limits;
};

// The module's folder, normalised, followed by "BASE" and a separator.
std::string DefaultBasePath();
// The system's temporary folder, normalised.
std::string TempFolderPath();

} // namespace kyv::plugin
