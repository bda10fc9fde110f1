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

class TAbUdfArchive : public TAbArchive {
public:
  explicit TAbUdfArchive(const std::string& fileName);
  TAbUdfArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // Listing stops after this many members: twice what the unpacking kernel takes from one
  // scanned file, so the cap never hides a member the kernel would reach.
  static constexpr int kMaxMembers = 200000;

  // Why the listing is not the whole image, or empty.
  const std::string& Incomplete() const { return incomplete_; }

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;

private:
  friend class UdfVolume;
  std::string incomplete_;
};

} // namespace kyv::archive
