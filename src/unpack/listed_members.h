// The steps the extractors of listed containers share: choosing the members worth writing,
// noticing the members a reader failed on, and the plain walk that writes each member into the
// level's temporary file and delivers it.
#pragma once

#include <cstdint>
#include <string>

#include "archive/ab_archive.h"
#include "base/error.h"
#include "unpack/arc_info.h"
#include "unpack/decompress.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

// Whether a listed member is worth writing: not both sizes 0, accepted by the owner's filter and
// not a bomb (reported as one). `bombPacked` is the size the bomb rule compares the member's size
// with: the compressed size where the format has one; formats that pass the size itself keep the
// rule for its message, though it never fires.
bool WantedMember(TKYVDecompress& owner, const archive::TAbArchiveItem& item,
                  std::uint64_t bombPacked);

// Makes the member's file; a file that cannot be made ends the container (the owner has the gap).
void CreateOrThrow(MemberFile& member, const std::string& name);

// Sets `failed` whenever the archive's reader reports a member it could not read as stored.
void WatchFailures(archive::TAbArchive& arc, bool& failed);

// Writes every member with bytes that the filter accepts into `member`, in listed order, and
// delivers it as `type`, whether it was read whole or cut off by the budget. A member the reader
// failed on (and the budget did not cut off) is delivered as far as it goes and recorded as
// damaged, for the reason damagedWhy(item) gives; delivered(item) runs after each delivery.
template <class Item, class DamagedWhy, class Delivered>
void DeliverListedMembers(TKYVDecompress& owner, const std::string& path,
                          const TKYVArcInfoArray& chain, archive::TAbArchive& arc,
                          const std::string& type, MemberFile& member, DamagedWhy&& damagedWhy,
                          Delivered&& delivered) {
  bool failed = false;
  WatchFailures(arc, failed);
  for (int i = 0; i < arc.MemberCount(); ++i) {
    if (owner.Abort)
      break;
    const auto& item = static_cast<const Item&>(*arc.MemberAt(i));
    // Empty members (and the data-less names of a hard link) give nothing to scan.
    if (item.UncompressedSize == 0 || !owner.AcceptItem(item.FileName))
      continue;
    CreateOrThrow(member, item.FileName);
    failed = false;
    // By position: two members of one name are two members, each with its own bytes.
    arc.ExtractMemberToStreamAt(i, member);
    member.close();
    if (failed && !member.cutOff())
      owner.RecordGap(TGapKind::Damaged, item.FileName, damagedWhy(item));
    owner.DeliverItem(path, type, item.FileName, member.path(), chain);
    member.remove();
    delivered(item);
  }
}

} // namespace kyv::unpack
