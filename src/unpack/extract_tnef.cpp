// TNEF streams (winmail.dat): every attachment's bytes, delivered under its long file name (or its
// title, or "AttachN" by position). An attached message is delivered as the TNEF stream it is, so
// it is opened in turn like any winmail.dat.
#include <string>

#include "base/error.h"
#include "mail/email_parser.h"
#include "mail/tnef.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractTnef(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const auto bytes = platform::readWholeFile(path, mail::kMaxMessageBytes);
  if (!bytes)
    return;
  mail::TTnefReader reader;
  if (!reader.Read(*bytes))
    return;
  MemberFile member(owner, owner.TempFileName());
  const auto& attachments = reader.Attachments();
  for (std::size_t i = 0; i < attachments.size(); ++i) {
    if (owner.Abort)
      break;
    const mail::TTnefAttachment& attachment = attachments[i];
    if (attachment.Data.empty())
      continue;
    CreateOrThrow(member, {});
    const bool written = member.write(attachment.Data);
    member.close();
    const std::string name =
        attachment.Name.empty() ? "Attach" + std::to_string(i + 1) : attachment.Name;
    // One the budget cut off is handed on as far as it was written.
    if (written || member.cutOff())
      owner.DeliverItem(path, "TNEF", name, member.path(), chain);
    member.remove();
    if (!written && !member.cutOff())
      throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
  }
}

} // namespace kyv::unpack
