// cpio archives: every regular file, written into the level's temporary file and delivered. A
// member that runs past the end of the archive, or whose bytes do not give the sum the crc form
// stores, is delivered all the same and recorded as not read cleanly.
#include <exception>
#include <string>

#include "archive/cpio_reader.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractCpio(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAbCpioArchive cpio(path);
    bool failed = false;
    cpio.OnProcessItemFailure = [&failed](archive::TAbArchive&, archive::TAbArchiveItem&,
                                          archive::TAbProcessType, archive::TAbErrorClass,
                                          int) { failed = true; };
    cpio.LoadDirectory();
    if (!cpio.Incomplete().empty())
      owner.RecordGap(TGapKind::Damaged, std::string(),
                      "not every member of the archive was listed: " + cpio.Incomplete());
    const std::uint64_t archiveSize = cpio.Stream()->size();
    for (int i = 0; i < cpio.MemberCount(); ++i) {
      if (owner.Abort)
        break;
      const auto& item = static_cast<const archive::TAbCpioItem&>(*cpio.MemberAt(i));
      // Empty members (and the data-less names of a hard link) give nothing to scan.
      if (item.UncompressedSize == 0 || !owner.AcceptItem(item.FileName))
        continue;
      if (!member.create(item.FileName))
        throw kyv::Error(ErrorKind::Io, "Cannot create file " + member.path());
      failed = false;
      // By position: two members of one name are two members, each with its own bytes.
      cpio.ExtractMemberToStreamAt(i, member);
      member.close();
      if (failed && !member.cutOff()) {
        const bool whole = item.DataOffset <= archiveSize && item.UncompressedSize <= archiveSize - item.DataOffset;
        owner.RecordGap(TGapKind::Damaged, item.FileName,
                        whole ? "checksum mismatch; delivered as stored"
                              : "the member runs past the end of the archive; delivered as far as it goes");
      }
      // A member the budget cut off is handed on as far as it was written.
      owner.DeliverItem(path, "CPIO", item.FileName, member.path(), chain);
      member.remove();
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
