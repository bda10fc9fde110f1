// cpio archives: every regular file, written into the level's temporary file and delivered. A
// member that runs past the end of the archive, or whose bytes do not give the sum the crc form
// stores, is delivered all the same and recorded as not read cleanly.
#include <exception>
#include <string>

#include "archive/cpio_reader.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractCpio(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAbCpioArchive cpio(path);
    cpio.LoadDirectory();
    if (!cpio.Incomplete().empty())
      owner.RecordGap(TGapKind::Damaged, std::string(),
                      "not every member of the archive was listed: " + cpio.Incomplete());
    const std::uint64_t archiveSize = cpio.Stream()->size();
    const auto damagedWhy = [archiveSize](const archive::TAbCpioItem& item) -> std::string {
      const bool whole =
          item.DataOffset <= archiveSize && item.UncompressedSize <= archiveSize - item.DataOffset;
      return whole ? "checksum mismatch; delivered as stored"
                   : "the member runs past the end of the archive; delivered as far as it goes";
    };
    DeliverListedMembers<archive::TAbCpioItem>(owner, path, chain, cpio, "CPIO", member, damagedWhy,
                                               [](const archive::TAbCpioItem&) {});
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
