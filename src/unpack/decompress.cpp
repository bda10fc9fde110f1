#include "unpack/decompress.h"

#include <algorithm>
#include <exception>
#include <new>

#include "base/error.h"
#include "engine/file_scanner.h"
#include "platform/system.h"
#include "unpack/recognition.h"

namespace kyv::unpack {

std::string ChainText(const TKYVArcInfoArray& chain) {
  std::string text;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    if (i == 0)
      text += chain[i].ArcFile;
    text += "/{" + chain[i].ArcType + "}/" + chain[i].ItemName;
  }
  return text;
}

TKYVDecompress::TKYVDecompress(std::string basePath)
    : BasePath(std::move(basePath)), TempPrefix("kyv_" + std::to_string(platform::processId())) {}

// The modules mapped from the unpack code go with the unpacker that loaded them.
TKYVDecompress::~TKYVDecompress() { FreeUnpackCode(UnpackCode); }

void TKYVDecompress::Unpack(const std::string& path, const engine::TFileScanner& scanner,
                            const TKYVArcInfoArray& chain) {
  FileHead head;
  head.IsMZ = scanner.FileInfo.IsMZ;
  head.IsPE = scanner.FileInfo.IsPE;
  head.HeadBuf = std::as_bytes(std::span(scanner.HeadBuf));
  if (!scanner.TooLarge && scanner.FileInfo.FileSize >= 0)
    head.FileSize = static_cast<std::uint64_t>(scanner.FileInfo.FileSize);
  Unpack(path, head, chain);
}

void TKYVDecompress::Unpack(const std::string& path, const FileHead& head,
                            const TKYVArcInfoArray& chain) {
  if (chain.empty())
    StartTopLevel();
  // Executables are never unpacked, self-extracting archives included.
  if (head.IsPE || head.IsMZ)
    return;
  const TKYVArcInfoArray* outer = current_;
  current_ = &chain;
  const bool tooDeep = static_cast<int>(chain.size()) >= Limits.MaxDepth;
  FileProbe probe(head.HeadBuf, path, head.FileSize);
  for (const ContainerType& type : containerTypes()) {
    if (!type.test(probe.bytesFor(type)) || type.extract == nullptr)
      continue;
    if (tooDeep) {
      // Only a file that would have been unpacked counts; a plain member at this depth was
      // scanned completely.
      RecordGap(TGapKind::MaxDepth, std::string(),
                "containers nested deeper than " + std::to_string(Limits.MaxDepth));
      break;
    }
    try {
      type.extract(*this, path, chain);
    } catch (const std::bad_alloc&) {
      // Members after the failure were never looked at: that must be told, not passed as clean.
      RecordGap(TGapKind::ReadError, std::string(), "not enough memory to unpack it");
      break;
    } catch (const kyv::Error& error) {
      // A file past a size cap of the reader (a message over 512 MiB) was not unpacked at all.
      if (error.kind() == ErrorKind::Limit)
        RecordGap(TGapKind::TooLarge, std::string(), error.what());
      break;
    } catch (...) {
      // An error that the extractor let through ends the unpacking of this file; what was
      // found before stands.
      break;
    }
  }
  current_ = outer;
}

void TKYVDecompress::RecordGap(TGapKind kind, const std::string& itemName,
                               std::string reason) const {
  if (!OnGap)
    return;
  TScanGap gap;
  gap.Kind = kind;
  if (current_ != nullptr)
    gap.Chain = *current_;
  gap.ItemName = itemName;
  gap.Reason = std::move(reason);
  OnGap(gap);
}

void TKYVDecompress::StartTopLevel() {
  bytesThisScan_ = 0;
  membersThisScan_ = 0;
  graceBytes_ = 0;
  graceMembers_ = 0;
  graceUsed_ = false;
  bytesCut_ = false;
  bytesReported_ = false;
  membersReported_ = false;
  if (budgetAbort_) {
    Abort = false;
    budgetAbort_ = false;
  }
}

bool TKYVDecompress::DeliverItem(const std::string& arcPath, const std::string& arcType,
                                 const std::string& itemName, const std::string& itemFile,
                                 const TKYVArcInfoArray& chain) {
  if (!OnItem)
    return false;
  if (!ChargeMember())
    return false;
  TKYVArcInfoArray callee = chain;
  callee.push_back({arcPath, arcType, itemName, itemFile});
  if (bytesCut_ && !graceUsed_)
    return DeliverWithGrace(callee);
  try {
    return OnItem(callee);
  } catch (const std::bad_alloc&) {
    RecordGap(TGapKind::ReadError, itemName, "not enough memory to scan it");
    return false;
  } catch (...) {
    // A failure while the member was scanned ends that member only.
    return false;
  }
}

bool TKYVDecompress::DeliverWithGrace(const TKYVArcInfoArray& callee) {
  // The extractors stop once the budget is out, so this is the member it cut off. Its own
  // unpacking may go a little further; afterwards the levels around it stop as before. The
  // limit was reported when it was reached, and the grace adds no report of its own.
  graceUsed_ = true;
  graceBytes_ = kGraceBytes;
  graceMembers_ = kGraceMembers;
  Abort = false;
  budgetAbort_ = false;
  bool result = false;
  try {
    result = OnItem(callee);
  } catch (...) {
    // A failure while the member was scanned ends that member only.
  }
  Abort = true;
  budgetAbort_ = true;
  return result;
}

bool TKYVDecompress::AcceptItem(const std::string& name) const {
  if (name.empty())
    return true;
  return OnFilter ? OnFilter(name) : true;
}

void TKYVDecompress::ReportMessage(const std::string& text) const {
  if (OnMessage)
    OnMessage(text);
}

std::string TKYVDecompress::TempFileName() const {
  return TempFolder + TempPrefix + "_" + std::to_string(Depth) + ".tmp";
}

bool TKYVDecompress::IsBomb(double unpacked, double packed) const {
  return BombCheck && unpacked / (packed + 1) > 100 && unpacked > static_cast<double>(MailBombSize);
}

bool TKYVDecompress::ChargeBytes(std::uint64_t count) {
  const std::uint64_t limit = byteLimit();
  if (count > limit - std::min(bytesThisScan_, limit)) {
    if (!bytesReported_)
      RecordGap(TGapKind::MaxScanSize, std::string(),
                "more than " + std::to_string(Limits.MaxScanSize) + " bytes unpacked");
    bytesReported_ = true;
    bytesCut_ = true;
    bytesThisScan_ = limit;
    Abort = true;
    budgetAbort_ = true;
    return false;
  }
  bytesThisScan_ += count;
  return true;
}

std::uint64_t TKYVDecompress::BytesLeft() const {
  const std::uint64_t limit = byteLimit();
  return limit - std::min(bytesThisScan_, limit);
}

bool TKYVDecompress::AdmitDeclaredSize(std::uint64_t declared) {
  if (declared <= BytesLeft())
    return true;
  // Refused whole: nothing of it is written, so there is no cut member to deliver.
  const bool cut = bytesCut_;
  (void)ChargeBytes(declared);
  bytesCut_ = cut;
  return false;
}

bool TKYVDecompress::ChargeMember() {
  if (membersThisScan_ >= memberLimit()) {
    if (!membersReported_)
      RecordGap(TGapKind::MaxFiles, std::string(),
                "more than " + std::to_string(Limits.MaxFiles) + " members");
    membersReported_ = true;
    Abort = true;
    budgetAbort_ = true;
    return false;
  }
  ++membersThisScan_;
  return true;
}

} // namespace kyv::unpack
