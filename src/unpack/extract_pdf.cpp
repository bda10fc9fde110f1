// Documents in the portable document format: every stream decoded through its filters, every
// embedded file under its name, every script held in a string, with the type text "PDF". A
// document that cannot be decrypted with the empty password is noted as not fully scanned.
#include <string>

#include "base/error.h"
#include "document/pdf_reader.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {
// The document is read into memory; beyond this it is scanned as a file but not opened.
constexpr std::uint64_t kMaxPdfBytes = 512ull * 1024 * 1024;
} // namespace

void ExtractPdf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  std::string why;
  const auto bytes = platform::readWholeFile(path, kMaxPdfBytes, &why);
  if (!bytes) {
    const auto file = platform::File::openRead(path);
    if (file && file->size() > kMaxPdfBytes)
      owner.RecordGap(TGapKind::TooLarge, std::string(),
                      "a document of more than " + std::to_string(kMaxPdfBytes) + " bytes");
    else
      owner.RecordGap(TGapKind::ReadError, std::string(), why);
    return;
  }
  const document::PdfReader reader(*bytes);
  if (!reader.lockedReason().empty())
    owner.RecordGap(TGapKind::Encrypted, std::string(), reader.lockedReason());
  MemberFile member(owner, owner.TempFileName());
  for (const document::PdfMember& item : reader.members()) {
    if (owner.Abort)
      break;
    if (!owner.AcceptItem(item.name))
      continue;
    if (!member.create(item.name))
      throw kyv::Error(ErrorKind::Io, "cannot create " + member.path());
    const document::PdfExtract result = reader.extract(item, member);
    member.close();
    if (result.sinkRefused && !member.cutOff())
      throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
    if (!result.decryptDamage.empty())
      owner.RecordGap(TGapKind::Damaged, item.name, result.decryptDamage);
    else if (result.damaged)
      owner.RecordGap(TGapKind::Damaged, item.name, "damaged compressed data");
    if (!result.notDecoded.empty())
      owner.RecordGap(TGapKind::UnsupportedMethod, item.name, result.notDecoded);
    // One the budget cut off is handed on as far as it was written.
    owner.DeliverItem(path, "PDF", item.name, member.path(), chain);
    member.remove();
  }
}

} // namespace kyv::unpack
