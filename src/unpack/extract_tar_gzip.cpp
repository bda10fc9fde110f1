// TAR and GZIP containers. Both write each accepted member into the level's temporary file and
// deliver it whatever came out (no size comparison); a member the reader failed on shows only as
// a short file (TAR) or as a path to no file (GZIP, whose reader deletes a failed target).
#include <exception>
#include <string>

#include "archive/ab_archive.h"
#include "archive/gzip_reader.h"
#include "archive/tar_reader.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

// The bomb rule of these formats compares a size with itself, so it never fires; kept for its
// message.
bool wanted(TKYVDecompress& owner, const archive::TAbArchiveItem& item) {
  return WantedMember(owner, item, item.UncompressedSize);
}

} // namespace

void ExtractTar(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAbTarArchive tar(path);
    tar.LoadDirectory();
    for (int i = 0; i < tar.MemberCount(); ++i) {
      if (owner.Abort)
        break;
      const archive::TAbArchiveItem& item = *tar.MemberAt(i);
      if (!wanted(owner, item))
        continue;
      CreateOrThrow(member, item.FileName);
      // By position: two members of one name are two members, each with its own bytes.
      tar.ExtractMemberToStreamAt(i, member);
      member.close();
      // A member the budget cut off is handed on as far as it was written.
      owner.DeliverItem(path, "TAR", item.FileName, member.path(), chain);
      member.remove();
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

void ExtractGzip(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAbGzipArchive gzip(path);
    bool failed = false;
    WatchFailures(gzip, failed);
    gzip.LoadDirectory();
    for (int i = 0; i < gzip.MemberCount(); ++i) {
      if (owner.Abort)
        break;
      const archive::TAbArchiveItem& item = *gzip.MemberAt(i);
      if (!wanted(owner, item))
        continue;
      CreateOrThrow(member, item.FileName);
      failed = false;
      gzip.ExtractMemberToStreamAt(i, member);
      member.close();
      // A member that failed is removed before delivery, so the scan sees a path to no file
      // and finds nothing in it, as with any damaged member of this format. One the budget cut
      // off is handed on as far as it was written.
      if (failed && !member.cutOff())
        member.remove();
      owner.DeliverItem(path, "GZIP", item.FileName, member.path(), chain);
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
