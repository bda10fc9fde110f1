// The cpio reader: lists the regular files of a cpio archive (any of its four header forms) and
// copies a member's bytes out.
//
// Only regular files are members. Folders, devices, fifos and sockets carry no content, and a
// symbolic link's data is the path it points to, which no extraction ever writes into a file;
// their bytes are stepped over. A hard link stored in the newc forms keeps its data with the
// last of its names; the others have no data and give nothing to scan.
#pragma once

#include <memory>
#include <string>

#include "archive/ab_archive.h"
#include "archive/cpio_format.h"

namespace kyv::archive {

class TAbCpioItem : public TAbArchiveItem {
public:
  explicit TAbCpioItem(const CpioEntry& entry);

  CpioKind Kind;
  std::uint64_t DataOffset = 0;
  std::uint32_t Checksum = 0; // the crc form's sum of the data bytes
};

class TAbCpioArchive : public TAbArchive {
public:
  explicit TAbCpioArchive(const std::string& fileName);
  TAbCpioArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // Listing stops after this many members, as the TAR reader's does: twice what the unpacking
  // kernel takes from one scanned file.
  static constexpr int kMaxMembers = 200000;

  // Why the listing ended before the trailer (a damaged header, the member cap), or empty.
  const std::string& Incomplete() const { return incomplete_; }

protected:
  void LoadArchiveItems() override;
  // Writes the member's data as far as the archive holds it; raises when it runs past the end or,
  // in the crc form, when the sum of its bytes is not the stored one (after writing them all).
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;

private:
  std::string incomplete_;
};

} // namespace kyv::archive
