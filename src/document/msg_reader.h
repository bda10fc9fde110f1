// Outlook messages saved as .msg files: a compound file whose root storage holds the message's
// properties (a "__properties_version1.0" stream and "__substg1.0_TTTTYYYY" streams, property tag
// then type in hex), a storage per recipient and one per attachment
// ("__attach_version1.0_#XXXXXXXX"). An attachment keeps its bytes in the stream of its data
// property (3701, binary) and its names in 3707 (long) and 3704 (short); an attached message is a
// storage under the data property (3701, object) laid out like the root. The body text is
// property 1000.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document/compound_file.h"

namespace kyv::document {

struct TMsgItem {
  enum class TKind { Attachment, Body };
  TKind Kind = TKind::Attachment;
  std::string Name;         // the attachment's long name, else its short one, else "AttachN"
  std::uint32_t Stream = 0; // the entry whose bytes are the item
  bool Unicode = false;     // a body held as UTF-16 little-endian text
};

// A storage laid out as a message: it holds the property stream and property streams or storages.
bool IsMessageStorage(const TCompoundFile& file, std::uint32_t storage);

// What a message gives to scan, in order: its body, then each attachment; an attached message's
// body and attachments stand in place of it, at any depth. Empty streams are left out.
std::vector<TMsgItem> ListMessageItems(TCompoundFile& file,
                                       std::uint32_t message = TCompoundFile::kRootId);

} // namespace kyv::document
