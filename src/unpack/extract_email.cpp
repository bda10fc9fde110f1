// Stored messages: every part of the message, each decoded into the level's temporary file and
// delivered under its file name (or "PartN"), with the type text "E-MAIL:" + its encoding.
#include <string>

#include "base/error.h"
#include "mail/email_parser.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

void ExtractEmail(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  mail::TEmailParser parser;
  parser.SetFileName(path);
  if (!parser.Parse())
    return;
  MemberFile member(owner, owner.TempFileName());
  const auto parts = parser.Parts();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (owner.Abort)
      break;
    mail::TMailPart& part = parts[i];
    // Errors here are not contained: they end the unpacking of this message.
    if (!member.create(part.Name.empty() ? "Part" + std::to_string(i + 1) : part.Name))
      throw kyv::Error(ErrorKind::Io, "cannot create " + member.path());
    // The part goes straight into the member file rather than through memory first: the
    // result is the same and a large attachment is never held whole.
    (void)mail::TEmailParser::WritePart(part, member);
    member.close();
    if (part.Name.empty())
      part.Name = "Part" + std::to_string(i + 1);
    if (!member.cutOff())
      owner.DeliverItem(path, "E-MAIL:" + part.Encoding, part.Name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
