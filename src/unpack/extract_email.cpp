// Stored messages: every part of the message, each decoded into the level's temporary file and
// delivered under its file name (or "PartN"), with the type text "E-MAIL:" + its encoding. In an
// mbox file of several messages the name is led by the message's number ("Message2/a.exe").
#include <new>
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
  if (parser.PartsDropped())
    owner.RecordGap(TGapKind::MaxFiles, std::string(),
                    "a message of more than " + std::to_string(mail::kMaxParts) + " parts");
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
    bool written = false;
    try {
      written = mail::TEmailParser::WritePart(part, member);
    } catch (const std::bad_alloc&) {
      // A part too large to decode in memory is lost on its own; the parts around it are not.
      member.close();
      member.remove();
      owner.RecordGap(TGapKind::ReadError, part.Name, "not enough memory to decode the part");
      continue;
    }
    member.close();
    // A part that could not be written in full (a full disk) is not delivered short, and the
    // parts after it would fare no better: the run over this message ends here.
    if (!written && !member.cutOff())
      throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
    if (part.Name.empty())
      part.Name = "Part" + std::to_string(i + 1);
    std::string name = part.Name;
    if (parser.MessageCount() > 1)
      name = "Message" + std::to_string(part.Message) + "/" + name;
    // One the budget cut off is handed on as far as it was written.
    owner.DeliverItem(path, "E-MAIL:" + part.Encoding, name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
