#include "plugin/scan_kernel.h"

#include <exception>

#include "engine/antivirus.h"
#include "engine/file_scanner.h"
#include "platform/file.h"
#include "platform/system.h"
#include "plugin/verdict.h"
#include "unpack/decompress.h"

namespace kyv::plugin {

std::string DefaultBasePath() {
  const std::string module = platform::moduleFileName();
  const std::size_t cut = module.find_last_of("\\/");
  const std::string folder = cut == std::string::npos ? std::string() : module.substr(0, cut + 1);
  return platform::NormalizeFolder(folder) + "BASE" + platform::pathSeparator();
}

std::string TempFolderPath() { return platform::NormalizeFolder(platform::tempFolder()); }

TKYVAScanKernel::TKYVAScanKernel() : BasePath(DefaultBasePath()) {}

TKYVAScanKernel::TKYVAScanKernel(const std::string& baseFolder)
    : BasePath(platform::NormalizeFolder(baseFolder)) {}

TKYVAScanKernel::~TKYVAScanKernel() = default;

bool TKYVAScanKernel::LoadBases() {
  bool result = false;
  Ready = false;
  try {
    Engine = std::make_unique<engine::TAntivirus>(BasePath);
    Engine->BasePath = BasePath;
    result = Engine->LoadDatabases();
    Unpacker = std::make_unique<unpack::TKYVDecompress>(BasePath);
    Unpacker->SetTempFolder(TempFolderPath());
    Unpacker->SetOnItem([this](const unpack::TKYVArcInfoArray& chain) { return OnArcItem(chain); });
    Unpacker->SetOnGap([this](const unpack::TScanGap& gap) { OnScanGap(gap); });
    if (!Unpacker->LoadUnpackCode())
      result = false;
  } catch (const std::exception& error) {
    // Start-up counts as failed whenever anything was left unloaded, databases or unpack code.
    VerdictText = error.what();
    return false;
  }
  Ready = result;
  return result;
}

void TKYVAScanKernel::ClearVerdict() {
  VerdictText.clear();
  VerdictCode = 0;
  Findings.clear();
  Gaps.clear();
  GapsOmitted = 0;
}

void TKYVAScanKernel::OnScanGap(const unpack::TScanGap& gap) {
  if (Gaps.size() < kMaxGapsKept)
    Gaps.push_back(gap);
  else
    ++GapsOmitted;
}

void TKYVAScanKernel::ScanFile(const std::string& path, const unpack::TKYVArcInfoArray& chain) {
  if (!Engine)
    return;
  auto scanner = std::make_unique<engine::TFileScanner>();
  if (!scanner->OpenFile(path)) {
    if (scanner->TooLarge) {
      // Unpacked below (its head was read), but matched by nothing.
      unpack::TScanGap gap{unpack::TGapKind::TooLarge, chain, std::string(),
                           "2 GiB or more: " + scanner->LastError};
      if (!gap.Chain.empty()) {
        gap.ItemName = gap.Chain.back().ItemName;
        gap.Chain.pop_back();
      }
      OnScanGap(gap);
    } else if (chain.empty()) {
      // Members are files this scan wrote itself; only the file handed in can fail to be
      // read for reasons its owner should hear of.
      OnScanGap({unpack::TGapKind::ReadError, {}, std::string(), scanner->LastError});
    }
  }
  engine::TVirusDescr descr;
  const std::int32_t r = scanner->TooLarge ? 0 : Engine->CheckFileInfo(scanner->FileInfo, descr);
  if (r == 1 || r == 2) {
    AddFinding(VerdictText, VerdictCode, r, Engine->FoundName);
    Findings.push_back({r, Engine->FoundName, chain});
  }
  // Without an unpacker (the start-up ended before it was made) the file itself is still
  // matched.
  if (!Unpacker)
    return;
  if (chain.empty())
    Unpacker->Limits = Limits;
  Unpacker->Unpack(path, *scanner, chain);
}

engine::TDatabaseFiles TKYVAScanKernel::DatabaseFiles() const {
  engine::TDatabaseFiles files;
  if (Engine)
    files = Engine->Files;
  if (Unpacker && !Unpacker->CodeFile.FileName.empty())
    files.push_back(Unpacker->CodeFile);
  return files;
}

engine::TDatabaseFiles TKYVAScanKernel::LoadFailures() const {
  engine::TDatabaseFiles failures;
  for (engine::TDatabaseFile& file : DatabaseFiles())
    if (!file.Loaded)
      failures.push_back(std::move(file));
  return failures;
}

std::string TKYVAScanKernel::StartupError() const {
  if (Ready)
    return {};
  if (!platform::folderExists(BasePath))
    return "the folder does not exist";
  std::string text;
  for (const engine::TDatabaseFile& file : LoadFailures()) {
    if (!file.Required)
      continue;
    if (!text.empty())
      text += "; ";
    text += engine::DescribeRefusal(file);
  }
  if (text.empty())
    text = VerdictText.empty() ? "the start-up failed" : VerdictText;
  return text;
}

bool TKYVAScanKernel::CanScan() const { return Engine && !Engine->Descriptors.empty(); }

bool TKYVAScanKernel::OnArcItem(const unpack::TKYVArcInfoArray& chain) {
  if (chain.empty())
    return false;
  ScanFile(chain.back().ItemFile, chain);
  return true;
}

} // namespace kyv::plugin
