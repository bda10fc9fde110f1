// The one object behind the plug-in's entry points: it owns the signature engine and the
// unpacking kernel, scans each file the host hands in together with every member extracted from
// it, and gathers one verdict.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unpack/arc_info.h"

namespace kyv::engine {
class TAntivirus;
}
namespace kyv::unpack {
class TKYVDecompress;
}

namespace kyv::plugin {

// One finding with the chain that led to it, for front ends that show where it was found.
struct Finding {
  std::int32_t Code = 0; // 1 infected, 2 suspicious
  std::string Name;      // the engine's name (with the details of a partial match)
  unpack::TKYVArcInfoArray Chain;
};

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
  // VerdictCode and Findings.
  void ScanFile(const std::string& path, const unpack::TKYVArcInfoArray& chain);
  // The unpacker's member callback.
  bool OnArcItem(const unpack::TKYVArcInfoArray& chain);
  // Clears the verdict before a top-level file.
  void ClearVerdict();

  bool Ready = false;
  std::string BasePath;
  std::unique_ptr<engine::TAntivirus> Engine;
  std::unique_ptr<unpack::TKYVDecompress> Unpacker;
  std::string VerdictText;
  std::int32_t VerdictCode = 0;
  std::vector<Finding> Findings;
};

// The module's folder, normalised, followed by "BASE" and a separator.
std::string DefaultBasePath();
// The system's temporary folder, normalised.
std::string TempFolderPath();

} // namespace kyv::plugin
