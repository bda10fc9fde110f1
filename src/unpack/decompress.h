// The container-unpacking kernel: recognises a scanned file's container type from its head,
// runs the matching extractors, and hands every extracted member, in a temporary file, back to
// its owner with the chain extended by one link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "unpack/arc_info.h"
#include "unpack/limits.h"
#include "unpack/scan_gaps.h"
#include "unpack/unpack_code.h"

namespace kyv::engine {
class TFileScanner;
}

namespace kyv::unpack {

// Method pointers of the owner: an empty function means not set.
using TOnItem = std::function<bool(const TKYVArcInfoArray& chain)>;
using TOnFilter = std::function<bool(const std::string& name)>;
using TOnMessage = std::function<void(const std::string& text)>;
// Told of each thing that keeps the current top-level scan from being complete.
using TOnGap = std::function<void(const TScanGap& gap)>;

// What the dispatcher looks at of a scanned file.
struct FileHead {
  bool IsMZ = false;
  bool IsPE = false;
  // The first bytes of the file followed by zeros (at least 263 bytes, zero-terminated).
  std::span<const std::byte> HeadBuf;
  // The file's size when known; a file too short for a disk image's volume area is then never
  // opened again for it.
  std::optional<std::uint64_t> FileSize;
};

class TKYVDecompress {
public:
  explicit TKYVDecompress(std::string basePath);
  ~TKYVDecompress();
  TKYVDecompress(const TKYVDecompress&) = delete;
  TKYVDecompress& operator=(const TKYVDecompress&) = delete;

  void SetTempFolder(std::string folder) { TempFolder = std::move(folder); }
  void SetOnItem(TOnItem onItem) { OnItem = std::move(onItem); }
  void SetOnGap(TOnGap onGap) { OnGap = std::move(onGap); }

  // Recognises and unpacks one file. Nothing it meets inside the file escapes as an error.
  void Unpack(const std::string& path, const engine::TFileScanner& scanner,
              const TKYVArcInfoArray& chain);
  void Unpack(const std::string& path, const FileHead& head, const TKYVArcInfoArray& chain);

  // Reads extract.kyv from BasePath and brings up its modules; true when the file was read.
  // CodeFile says what became of the file; a RAR module that would not come up is told in
  // RarModuleProblem.
  bool LoadUnpackCode();

  // Used by the extractors.
  bool DeliverItem(const std::string& arcPath, const std::string& arcType,
                   const std::string& itemName, const std::string& itemFile,
                   const TKYVArcInfoArray& chain);
  bool AcceptItem(const std::string& name) const;
  void ReportMessage(const std::string& text) const;
  // The temporary file of the current depth: TempFolder + TempPrefix + "_" + Depth + ".tmp".
  std::string TempFileName() const;
  // The ZIP/RAR bomb rule (only when BombCheck is on).
  bool IsBomb(double unpacked, double packed) const;
  // Budget of the current top-level scan; the member file charges its bytes here. Returns
  // false (and sets Abort) when the bytes do not fit; the first time, the limit is reported
  // through OnGap. The member the budget cut off is still delivered (as far as it was written),
  // and its own unpacking runs on the grace allowance (limits.h) once per top-level file.
  bool ChargeBytes(std::uint64_t count);
  // For a member whose size is declared before any of it is written: true when it fits what is
  // left of the budget; otherwise nothing is written, and the budget ends as if its bytes had
  // been charged (Abort set, the limit reported).
  bool AdmitDeclaredSize(std::uint64_t declared);
  // What the budget of this top-level scan has left, in bytes.
  std::uint64_t BytesLeft() const;
  // Counts one more member handed out; false (and Abort set, and reported) past the cap.
  bool ChargeMember();
  // Reports one gap in the container being unpacked now (the chain given to the innermost
  // Unpack running); itemName may be empty.
  void RecordGap(TGapKind kind, const std::string& itemName, std::string reason) const;
  // The budget of this top-level scan ran out (Abort was set for it).
  bool BudgetExhausted() const { return budgetAbort_; }

  TUnpackCodeArray UnpackCode;
  engine::TDatabaseFile CodeFile;
  // Why the RAR module of the unpack code did not come up; empty when it did or there is none.
  // Start-up still succeeds (the rest scans), so front ends warn of it, and every RAR archive
  // met is recorded as not unpacked with this reason.
  std::string RarModuleProblem;
  std::string TempFolder;
  std::string BasePath;
  std::string TempPrefix;
  TOnItem OnItem;
  int Depth = 0;
  TOnFilter OnFilter;
  TOnMessage OnMessage;
  TOnGap OnGap;
  TScanLimits Limits;
  bool Abort = false;
  bool DetailedErrors = false;
  bool BombCheck = false;

private:
  void StartTopLevel();

  std::uint64_t byteLimit() const { return Limits.MaxScanSize + graceBytes_; }
  std::uint32_t memberLimit() const { return Limits.MaxFiles + graceMembers_; }
  // Hands the member cut off by the budget to OnItem with the grace allowance open.
  bool DeliverWithGrace(const TKYVArcInfoArray& callee);

  std::uint64_t bytesThisScan_ = 0;
  std::uint32_t membersThisScan_ = 0;
  // The grace allowance of this top-level file, once granted.
  std::uint64_t graceBytes_ = 0;
  std::uint32_t graceMembers_ = 0;
  bool graceUsed_ = false;
  // The byte budget (not the member cap) ran out: the next member delivered is the one it cut.
  bool bytesCut_ = false;
  bool budgetAbort_ = false;
  bool bytesReported_ = false;
  bool membersReported_ = false;
  // The chain of the container being unpacked; set for the length of each Unpack call.
  const TKYVArcInfoArray* current_ = nullptr;
};

// Raises Depth for one extractor call and lowers it again on every way out.
class DepthGuard {
public:
  explicit DepthGuard(TKYVDecompress& owner) : owner_(owner) { ++owner_.Depth; }
  ~DepthGuard() { --owner_.Depth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

private:
  TKYVDecompress& owner_;
};

} // namespace kyv::unpack
