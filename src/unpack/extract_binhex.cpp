// BinHex 4.0 texts (Macintosh attachments, sent as application/mac-binhex40 or pasted into a text
// body): the data fork under the file's own name and, when it is not empty, the resource fork
// under the name followed by ":rsrc". A fork is delivered only when the text carried all of it; a
// fork whose CRC does not match is still delivered (the bytes are what a reader would save), as
// ZIP members with a damaged CRC are.
#include <string>
#include <vector>

#include "base/error.h"
#include "mail/binhex.h"
#include "mail/email_parser.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractBinHex(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const auto bytes = platform::readWholeFile(path, mail::kMaxMessageBytes);
  if (!bytes)
    return;
  const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  mail::TBinHexReader reader(text);
  if (!reader.ReadHeader())
    return;
  MemberFile member(owner, owner.TempFileName());
  for (const bool resource : {false, true}) {
    if (owner.Abort)
      break;
    if (resource && reader.ResourceLength() == 0)
      break;
    CreateOrThrow(member, {});
    const auto fork = resource ? reader.ReadResourceFork(member) : reader.ReadDataFork(member);
    member.close();
    const std::string name = resource ? reader.Name() + ":rsrc" : reader.Name();
    // A fork the budget cut off is handed on as far as it was written.
    if (fork.Complete || member.cutOff())
      owner.DeliverItem(path, "BINHEX", name, member.path(), chain);
    member.remove();
    if (!fork.Complete)
      break;
  }
}

} // namespace kyv::unpack
