// Compiled-help files: every stored file of the directory, compressed or not, delivered under
// its directory name. The container's own "::" entries and empty entries are passed over; an
// error while an item is written is not contained here and ends the unpacking of this file.
#include <string>

#include "base/error.h"
#include "chm/chm_unpacker.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractChm(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  chm::TCHMUnpacker unpacker;
  unpacker.SetFileName(path);
  if (!unpacker.Open())
    return;
  MemberFile member(owner, owner.TempFileName());
  for (const chm::TCHMDirItem& item : unpacker.Items()) {
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
    if (!member.create(item.Name))
      throw kyv::Error(ErrorKind::Io, "Cannot create file " + member.path());
    (void)unpacker.ExtractItem(member, item);
    member.close();
    // An item the budget cut off is handed on as far as it was written.
    owner.DeliverItem(path, "CHM", item.Name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
