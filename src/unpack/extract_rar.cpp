#include <cstdint>
#include <exception>

#include "base/text.h"
#include "modload/unrar_archive.h"
#include "platform/file.h"
#include "platform/widetext.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"

namespace kyv::unpack {

namespace {

// The member names of the header record are this many wide characters at most.
constexpr std::size_t kRarNameUnits = 1024;

// Deletes the extractor's temporary file on every way out.
class TempFileGuard {
public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TempFileGuard() { platform::deleteFile(path_); }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

// The module writes the file itself; what it wrote beyond the size its header declared is
// charged to the budget too, and a member that does not fit is not delivered.
bool chargeExcess(TKYVDecompress& owner, const std::string& file, std::uint64_t declared) {
  const auto written = platform::File::openRead(file);
  if (!written)
    return true;
  const std::uint64_t size = written->size();
  return size <= declared || owner.ChargeBytes(size - declared);
}

} // namespace

void ExtractRar(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const TempFileGuard temp(owner.TempFileName());
  if (modload::RAROpenArchiveExProc == nullptr) {
    // Started without the unpack code: the archive is recognised but cannot be opened.
    owner.RecordGap(TGapKind::UnsupportedMethod, std::string(),
                    owner.RarModuleProblem.empty() ? std::string("no RAR module is loaded")
                                                   : owner.RarModuleProblem);
    return;
  }
  try {
    modload::TUnrarArchive archive(path);
    if (!archive.Open())
      return;
    modload::RarHeader header;
    while (!owner.Abort) {
      header.clear();
      if (archive.ReadHeader(header) != 0)
        break;
      // Every header read is answered by exactly one process call, extract or skip.
      const unrar::RARHeaderDataEx& h = header.data();
      if (h.UnpSize == 0) {
        archive.SkipCurrent();
        continue;
      }
      const std::string name = TrimBlanks(platform::wideToAnsi(h.FileNameW, kRarNameUnits));
      if (!owner.AcceptItem(name)) {
        archive.SkipCurrent();
        continue;
      }
      if (owner.IsBomb(static_cast<double>(h.UnpSize), static_cast<double>(h.PackSize))) {
        owner.ReportMessage(name + " MailBomb detected !");
        archive.SkipCurrent();
        continue;
      }
      // The scan's byte budget goes by the full size, so a member of 4 GiB and more cannot slip
      // past it on its low half. The module writes the file itself, so one that does not fit
      // is not started.
      const std::uint64_t fullSize = (std::uint64_t{h.UnpSizeHigh} << 32) | h.UnpSize;
      if (!owner.AdmitDeclaredSize(fullSize) || !owner.ChargeBytes(fullSize)) {
        archive.SkipCurrent();
        break;
      }
      // The module creates the file itself: a file left at the path from before must not be
      // taken for this member.
      platform::deleteFile(temp.path());
      const int result = archive.ExtractCurrent(temp.path());
      if (result == unrar::kCreateError || result == unrar::kWriteError) {
        owner.RecordGap(
            TGapKind::MemberNotWritten, name,
            std::string(result == unrar::kCreateError ? "cannot create " : "cannot write ") +
                temp.path());
        break;
      }
      if (result == 0 && chargeExcess(owner, temp.path(), fullSize))
        owner.DeliverItem(path, "RAR", name, temp.path(), chain);
      platform::deleteFile(temp.path());
    }
  } catch (const std::exception& e) {
    owner.ReportMessage(path + " " + e.what());
  }
}

} // namespace kyv::unpack
