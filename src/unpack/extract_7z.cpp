// 7z archives: each folder decoded once, its members written into the level's temporary file
// and delivered one by one as the decoded bytes pass them. What cannot be read is said: an
// encrypted file list or member, a method no decoder here knows, damaged data or a CRC that
// does not match, each recorded as a gap beside the verdict; a damaged or mismatching member is
// still delivered as far as it was decoded.
#include <exception>
#include <string>

#include "archive/sevenzip_reader.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

bool wanted(TKYVDecompress& owner, const archive::TAbArchiveItem& item) {
  return WantedMember(owner, item, item.CompressedSize) &&
         owner.AdmitDeclaredSize(item.UncompressedSize);
}

void recordOutcome(TKYVDecompress& owner, const std::string& name, const archive::T7zOutcome& o) {
  using Kind = archive::T7zOutcome::Kind;
  switch (o.kind) {
  case Kind::Ok:
  case Kind::Cut: // the budget or the member file has said why already
    return;
  case Kind::Encrypted:
    owner.RecordGap(TGapKind::Encrypted, name, o.reason);
    return;
  case Kind::Unsupported:
    owner.RecordGap(TGapKind::UnsupportedMethod, name, o.reason);
    return;
  case Kind::CrcError:
  case Kind::Damaged:
    owner.RecordGap(TGapKind::Damaged, name, o.reason);
    return;
  }
}

} // namespace

void Extract7z(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    archive::TAb7zArchive arc(path);
    arc.LoadDirectory();
    if (arc.HeaderEncrypted()) {
      owner.RecordGap(TGapKind::Encrypted, std::string(), "the archive's file list is encrypted");
      return;
    }
    // Bytes decoded only to reach later members count against the budget like written ones.
    arc.SkipGate = [&owner](std::uint64_t bytes) { return owner.ChargeBytes(bytes); };
    const archive::TAb7zArchive::BeginMember begin = [&](int i) -> ByteSink* {
      const archive::TAbArchiveItem& item = *arc.MemberAt(i);
      if (owner.Abort || !wanted(owner, item) || !member.create(item.FileName))
        return nullptr;
      return &member;
    };
    const archive::TAb7zArchive::EndMember end = [&](int i, const archive::T7zOutcome& outcome) {
      const std::string& name = arc.MemberAt(i)->FileName;
      recordOutcome(owner, name, outcome);
      if (outcome.started) {
        member.close();
        // Whole, cut off by the budget, or damaged part of the way: what was written is scanned.
        owner.DeliverItem(path, "7Z", name, member.path(), chain);
        member.remove();
      }
      return !owner.Abort;
    };
    arc.ExtractMembers(begin, end);
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
    owner.RecordGap(TGapKind::ReadError, std::string(), error.what());
  }
}

} // namespace kyv::unpack
