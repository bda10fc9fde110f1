// The reader of the MS-DOS file compressor's SZDD files and their KWAJ siblings (methods 0 to 2),
// each an archive of one member named after the original file.
#pragma once

#include <memory>
#include <string>

#include "archive/checked_archive.h"

namespace kyv::archive {

class TAbSzddArchive : public TAbCheckedArchive {
public:
  using TAbCheckedArchive::TAbCheckedArchive;

protected:
  void LoadArchiveItems() override;
  void ExtractCheckedAt(int index, ByteSink& stream) override;

private:
  bool sizeKnown_ = true;
};

} // namespace kyv::archive
