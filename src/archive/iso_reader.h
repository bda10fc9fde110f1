// The ISO 9660 reader: lists the files of every directory tree of an image (the primary one with
// its Rock Ridge names, Joliet and other supplementary ones) and the El Torito boot images, and
// copies a member's bytes out of the image where they lie.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "archive/ab_archive.h"
#include "archive/disk_image.h"

namespace kyv::archive {

class TAbIsoArchive : public TAbImageArchive {
public:
  using TAbImageArchive::TAbImageArchive;

  // Files whose bytes lie where one of these keys says are not listed (another tree of the same
  // image, already delivered). Set before LoadDirectory.
  void SetKnownExtents(std::set<ExtentKey> known) { known_ = std::move(known); }

protected:
  void LoadArchiveItems() override;

private:
  friend class IsoTreeWalker;
  std::set<ExtentKey> known_;
};

} // namespace kyv::archive
