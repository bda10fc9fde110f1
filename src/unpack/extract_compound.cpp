// Compound files (OLE2 structured storage). An Outlook message gives its body text and the bytes
// of every attachment, each under its file name ("AttachN" when it has none), with the type text
// "MSG"; attached messages are opened in place, so their attachments come out at this level too.
// A body stored as UTF-16 is delivered as UTF-8 text. Every other compound file (Office documents,
// installer packages, anything) gives its streams, packaged files, embedded PowerPoint objects and
// VBA module sources, with the type text "OLE2" (document/office_items.h says how each is named).
#include <string>

#include "base/error.h"
#include "document/compound_file.h"
#include "document/msg_reader.h"
#include "document/office_items.h"
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

// Writes each item into the member file and delivers it, the way the message walk does.
template <typename Item, typename Write>
void deliverItems(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                  const char* type, const std::vector<Item>& items, Write write) {
  MemberFile member(owner, owner.TempFileName());
  for (const Item& item : items) {
    if (owner.Abort)
      break;
    if (!member.create(item.Name))
      throw kyv::Error(ErrorKind::Io, "cannot create " + member.path());
    const bool written = write(item, member);
    member.close();
    // A member that could not be written in full is not delivered short, and the ones after it
    // would fare no better: the run over this file ends here.
    if (!written && !member.cutOff())
      throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
    // One the budget cut off is handed on as far as it was written.
    owner.DeliverItem(path, type, item.Name, member.path(), chain);
    member.remove();
  }
}

void extractOffice(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                   document::TCompoundFile& file) {
  const document::TOfficeListing listing = document::ListOfficeItems(file);
  for (const std::string& project : listing.DamagedProjects)
    owner.RecordGap(TGapKind::Damaged, project,
                    "the VBA project's module list is damaged; modules may be missing");
  // A damaged item is delivered as far as it could be read, as any reader here does.
  document::TOfficeItemWriter writer(file);
  deliverItems(owner, path, chain, "OLE2", listing.Items,
               [&](const document::TOfficeItem& item, MemberFile& member) {
                 return writer.Write(item, member) != document::TOfficeWrite::SinkRefused;
               });
}

} // namespace

void ExtractCompound(TKYVDecompress& owner, const std::string& path,
                     const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const auto source = platform::FileSource::open(path);
  if (!source)
    return;
  // A file whose header or directory cannot be read throws here; the dispatcher contains it.
  document::TCompoundFile file(*source);
  if (file.DirectoryCut())
    owner.RecordGap(TGapKind::MaxFiles, std::string(),
                    "a directory of more than " + std::to_string(document::kMaxDirectoryEntries) +
                        " entries");
  if (!document::IsMessageStorage(file, document::TCompoundFile::kRootId)) {
    extractOffice(owner, path, chain, file);
    return;
  }
  deliverItems(owner, path, chain, "MSG", document::ListMessageItems(file),
               [&](const document::TMsgItem& item, MemberFile& member) {
                 return writeItem(file, item, member);
               });
}

} // namespace kyv::unpack
