// ZIP containers: each member, taken by its place in the directory, written into the level's
// temporary file and delivered only when it came out exactly as long as the directory says. A
// member the reader failed on (unsupported method, encrypted, damaged) comes out short and is
// passed over.
#include <cstdint>
#include <exception>
#include <string>

#include "archive/zip_unzipper.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractZip(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAbUnZipper unzipper;
    // The type is forced so that the file's extension is never consulted.
    unzipper.ForceType = true;
    unzipper.ArchiveType = archive::TAbArchiveType::atZip;
    unzipper.OpenArchive(path);
    for (int i = 0; i < unzipper.MemberCount(); ++i) {
      if (owner.Abort)
        break;
      const archive::TAbArchiveItem& item = *unzipper.MemberAt(i);
      if (item.UncompressedSize == 0 && item.CompressedSize == 0)
        continue;
      const std::string name = item.FileName;
      if (!owner.AcceptItem(name))
        continue;
      // The directory's sizes are 32-bit fields, compared here as signed numbers.
      const auto unpacked =
          static_cast<std::int32_t>(static_cast<std::uint32_t>(item.UncompressedSize));
      const auto packed =
          static_cast<std::int32_t>(static_cast<std::uint32_t>(item.CompressedSize));
      if (owner.IsBomb(unpacked, packed)) {
        owner.ReportMessage(ChainText(chain) + " " + name + " MailBomb detected !");
        continue;
      }
      CreateOrThrow(member, name);
      // By index: two members listed under one name are two members, each scanned.
      unzipper.ExtractMemberToStreamAt(i, member);
      const std::uint64_t written = member.close();
      // A member the scan's budget cut off is handed on as far as it was written: its start
      // is scanned, and the budget has ended the unpacking of anything after it.
      if (written == item.UncompressedSize || member.cutOff())
        owner.DeliverItem(path, "ZIP", name, member.path(), chain);
      member.remove();
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
