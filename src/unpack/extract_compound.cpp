// Compound files (OLE2 structured storage). An Outlook message gives its body text and the bytes
// of every attachment, each under its file name ("AttachN" when it has none), with the type text
// "MSG"; attached messages are opened in place, so their attachments come out at this level too.
// A body stored as UTF-16 is delivered as UTF-8 text. Other compound files (Office documents,
// installer packages) are recognised and left packed.
#include <string>

#include "base/error.h"
#include "document/compound_file.h"
#include "document/msg_reader.h"
#include "document/utf16_sink.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

// False when the member file refused bytes (a full disk, or the scan's budget spent); a stream
// the compound file cannot give in full is delivered as far as it goes.
bool writeItem(document::TCompoundFile& file, const document::TMsgItem& item, MemberFile& member) {
  if (!item.Unicode)
    return file.ReadStream(item.Stream, member) != document::TCfbRead::SinkRefused;
  document::Utf16LeToUtf8Sink text(member);
  return file.ReadStream(item.Stream, text) != document::TCfbRead::SinkRefused && text.finish();
}

} // namespace

void ExtractCompound(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const auto source = platform::FileSource::open(path);
  if (!source)
    return;
  // A file whose header or directory cannot be read throws here; the dispatcher contains it.
  document::TCompoundFile file(*source);
  if (!document::IsMessageStorage(file, document::TCompoundFile::kRootId))
    return;
  if (file.DirectoryCut())
    owner.RecordGap(TGapKind::MaxFiles, std::string(),
                    "a directory of more than " + std::to_string(document::kMaxDirectoryEntries) +
                        " entries");
  MemberFile member(owner, owner.TempFileName());
  for (const document::TMsgItem& item : document::ListMessageItems(file)) {
    if (owner.Abort)
      break;
    if (!member.create(item.Name))
      throw kyv::Error(ErrorKind::Io, "cannot create " + member.path());
    const bool written = writeItem(file, item, member);
    member.close();
    // A member that could not be written in full is not delivered short, and the ones after it
    // would fare no better: the run over this file ends here.
    if (!written && !member.cutOff())
      throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
    // One the budget cut off is handed on as far as it was written.
    owner.DeliverItem(path, "MSG", item.Name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
