// The archives of the old DOS archivers: ARJ, LZH, and the MS-DOS compressor's SZDD and KWAJ
// files. One walk serves them all: a member that is encrypted or uses a method no decoder here
// knows is recorded as not scanned; one whose data is damaged, whose check value does not match
// or that continues in another volume is delivered as far as it decoded and recorded as damaged.
#include <exception>
#include <memory>
#include <string>

#include "archive/arj_reader.h"
#include "archive/lzh_reader.h"
#include "archive/szdd_reader.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

template <class Archive>
void extractChecked(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                    const std::string& type) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    Archive archive(path);
    archive.LoadDirectory();
    if (!archive.ListingProblem().empty())
      owner.RecordGap(TGapKind::Damaged, std::string(), archive.ListingProblem());
    for (int i = 0; i < archive.MemberCount(); ++i) {
      if (owner.Abort)
        break;
      const archive::TAbCheckedItem& item = archive.Member(i);
      // The declared size is the sender's word; the member file charges what is really written,
      // so it is not asked to fit the budget before.
      if (!WantedMember(owner, item, item.UncompressedSize))
        continue;
      if (item.IsEncrypted) {
        owner.RecordGap(TGapKind::Encrypted, item.FileName, "the member is encrypted");
        continue;
      }
      if (!item.Unsupported.empty()) {
        owner.RecordGap(TGapKind::UnsupportedMethod, item.FileName, item.Unsupported);
        continue;
      }
      if (!member.create(item.FileName))
        break;
      archive.ExtractMemberToStreamAt(i, member);
      member.close();
      if (!member.cutOff()) {
        if (!archive.LastFailure().empty())
          owner.RecordGap(TGapKind::Damaged, item.FileName, archive.LastFailure());
        else if (!item.Incomplete.empty())
          owner.RecordGap(TGapKind::Damaged, item.FileName, item.Incomplete);
      }
      // Whole, damaged or cut off by the budget: what was written is scanned.
      owner.DeliverItem(path, type, item.FileName, member.path(), chain);
      member.remove();
    }
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace

void ExtractArj(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  extractChecked<archive::TAbArjArchive>(owner, path, chain, "ARJ");
}

void ExtractLzh(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  extractChecked<archive::TAbLzhArchive>(owner, path, chain, "LZH");
}

void ExtractSzdd(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  extractChecked<archive::TAbSzddArchive>(owner, path, chain, "SZDD");
}

void ExtractKwaj(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  extractChecked<archive::TAbSzddArchive>(owner, path, chain, "KWAJ");
}

} // namespace kyv::unpack
