#include "unpack/listed_members.h"

namespace kyv::unpack {

bool WantedMember(TKYVDecompress& owner, const archive::TAbArchiveItem& item,
                  std::uint64_t bombPacked) {
  if (item.UncompressedSize == 0 && item.CompressedSize == 0)
    return false;
  if (!owner.AcceptItem(item.FileName))
    return false;
  if (owner.IsBomb(static_cast<double>(item.UncompressedSize), static_cast<double>(bombPacked))) {
    owner.ReportMessage(item.FileName + " MailBomb detected !");
    return false;
  }
  return true;
}

void CreateOrThrow(MemberFile& member, const std::string& name) {
  if (!member.create(name))
    throw kyv::Error(ErrorKind::Io, "Cannot create file " + member.path());
}

void WatchFailures(archive::TAbArchive& arc, bool& failed) {
  arc.OnProcessItemFailure = [&failed](archive::TAbArchive&, archive::TAbArchiveItem&,
                                       archive::TAbProcessType, archive::TAbErrorClass,
                                       int) { failed = true; };
}

} // namespace kyv::unpack
