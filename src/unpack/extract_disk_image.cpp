// Disk images: every file of every directory tree, written into the level's temporary file and
// delivered, read where it lies in the image. A file that runs past the image's end is delivered
// as far as the image goes and recorded as not fully read.
//
// A hybrid image carries a UDF and an ISO 9660 tree that normally list the same files. The UDF
// extractor reads both: the UDF files first, then the ISO files whose bytes no UDF file covered
// (a system that mounts the ISO tree would show them); the ISO extractor leaves such an image to
// it. Each file is delivered once, and nothing hidden in one of the trees is missed.
#include <exception>
#include <set>
#include <string>

#include "archive/disk_image.h"
#include "archive/iso_reader.h"
#include "archive/udf_reader.h"
#include "platform/file.h"
#include "base/error.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/listed_members.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

// Delivers the listed members of one image; adds the places of those delivered to delivered.
void deliverImage(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                  archive::TAbArchive& image, const std::string& type, MemberFile& member,
                  std::set<archive::ExtentKey>* delivered) {
  DeliverListedMembers<archive::TAbImageItem>(
      owner, path, chain, image, type, member,
      [](const archive::TAbImageItem&) -> std::string {
        return "the file runs past the end of the image; delivered as far as it goes";
      },
      [delivered](const archive::TAbImageItem& item) {
        if (delivered != nullptr)
          delivered->insert(archive::extentKey(item));
      });
}

void reportIncomplete(TKYVDecompress& owner, const std::string& why) {
  if (!why.empty())
    owner.RecordGap(TGapKind::Damaged, std::string(),
                    "not every file of the image was listed: " + why);
}

// The ISO 9660 trees of the image, leaving out the files whose bytes were delivered already.
void extractIsoTrees(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                     MemberFile& member, std::set<archive::ExtentKey> known) {
  archive::TAbIsoArchive iso(path);
  iso.SetKnownExtents(std::move(known));
  iso.LoadDirectory();
  reportIncomplete(owner, iso.Incomplete());
  deliverImage(owner, path, chain, iso, "ISO", member, nullptr);
}

// Whether the image has a UDF volume, which the UDF extractor then reads with its ISO trees.
bool hasUdf(const std::string& path) {
  const auto source = platform::FileSource::open(path);
  return source && archive::probeUdfVolume(archive::readVolumeArea(*source));
}

} // namespace

void ExtractIso(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  if (hasUdf(path))
    return;
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    extractIsoTrees(owner, path, chain, member, {});
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

void ExtractUdf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  std::set<archive::ExtentKey> delivered;
  try {
    archive::TAbUdfArchive udf(path);
    udf.LoadDirectory();
    reportIncomplete(owner, udf.Incomplete());
    deliverImage(owner, path, chain, udf, "UDF", member, &delivered);
  } catch (const std::exception& error) {
    // A UDF volume that cannot be read leaves the ISO trees, when there are any.
    owner.ReportMessage(path + " " + error.what());
  }
  if (owner.Abort)
    return;
  try {
    const auto source = platform::FileSource::open(path);
    if (source && archive::probeIsoVolume(archive::readVolumeArea(*source)))
      extractIsoTrees(owner, path, chain, member, std::move(delivered));
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
