// Compiled-help files: every stored file of the directory, compressed or not, delivered under
// its directory name. The container's own "::" entries and empty entries are passed over; an
// error while an item is written is not contained here and ends the unpacking of this file.
// Items go in the order that decodes each compressed section once (its items by offset), so the
// section is never held whole; the bytes decoded between items count against the budget as the
// items' own bytes do.
#include <string>

#include "base/error.h"
#include "chm/chm_unpacker.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractChm(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  chm::TCHMUnpacker unpacker;
  unpacker.SetFileName(path);
  if (!unpacker.Open())
    return;
  unpacker.DecodeGate = [&owner](std::uint64_t bytes) { return owner.ChargeBytes(bytes); };
  MemberFile member(owner, owner.TempFileName());
  for (const std::size_t index : unpacker.ItemsInStreamOrder()) {
    const chm::TCHMDirItem& item = unpacker.Items()[index];
    if (item.Name.size() >= 2 && item.Name.compare(0, 2, "::") == 0)
      continue;
    if (item.Length == 0)
      continue;
    // The bomb test of this format looks at the item's length alone.
    if (owner.BombCheck && item.Length > 10 * MailBombSize) {
      owner.ReportMessage(item.Name + " MailBomb detected !");
      continue;
    }
    // This format does not stop for Abort, but an exhausted budget ends even a hostile file.
    if (owner.BudgetExhausted())
      break;
    CreateOrThrow(member, item.Name);
    (void)unpacker.ExtractItem(member, item);
    const std::uint64_t written = member.close();
    // An item the budget cut off is handed on as far as it was written; one it ended before the
    // item's first byte (the bytes decoded to reach it did not fit) leaves nothing to scan.
    if (written == 0 && owner.BudgetExhausted())
      break;
    owner.DeliverItem(path, "CHM", item.Name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
