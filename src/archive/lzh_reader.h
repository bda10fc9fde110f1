// The LZH reader: the members of an LZH (LHA/LHarc) archive of header levels 0 to 3, stored
// (-lh0-, -lz4-) or compressed with -lh4- to -lh7-, each checked against its CRC-16. Directory
// entries (-lhd-) are not listed; other methods are listed as not supported.
#pragma once

#include <memory>
#include <string>

#include "archive/checked_archive.h"

namespace kyv::archive {

class TAbLzhArchive : public TAbCheckedArchive {
public:
  using TAbCheckedArchive::TAbCheckedArchive;

protected:
  void LoadArchiveItems() override;
  void ExtractCheckedAt(int index, ByteSink& stream) override;
};

} // namespace kyv::archive
