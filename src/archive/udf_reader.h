// The UDF reader: finds the anchor, reads the main volume descriptor sequence (partitions, the
// logical volume with its partition maps, a metadata partition), walks the file set's folders
// through their file entries and file identifiers, and copies a member's bytes out of the image
// where they lie.
#pragma once

#include <memory>
#include <string>

#include "archive/ab_archive.h"
#include "archive/disk_image.h"

namespace kyv::archive {

class TAbUdfArchive : public TAbImageArchive {
public:
  using TAbImageArchive::TAbImageArchive;

protected:
  void LoadArchiveItems() override;

private:
  friend class UdfVolume;
};

} // namespace kyv::archive
