// The ARJ reader: the members of the first volume of an ARJ archive, stored or compressed with
// methods 1-3 (static Huffman) and 4 (fast), each checked against its CRC-32. Garbled (encrypted)
// members are listed as such and never decoded; folders and volume labels are not listed.
#pragma once

#include <memory>
#include <string>

#include "archive/checked_archive.h"

namespace kyv::archive {

class TAbArjArchive : public TAbCheckedArchive {
public:
  using TAbCheckedArchive::TAbCheckedArchive;

protected:
  void LoadArchiveItems() override;
  void ExtractCheckedAt(int index, ByteSink& stream) override;
};

} // namespace kyv::archive
