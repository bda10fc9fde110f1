// Outlook messages for tests, laid out in a compound file as the published .msg format has it:
// a property stream per message and attachment, "__substg1.0_" streams for variable-size
// properties (tag and type in hex), "__attach_version1.0_#XXXXXXXX" storages, and attached
// messages as storages under the attachment's data-object property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cfb_writer.h"

namespace kyv::test {

class MsgWriter {
public:
  explicit MsgWriter(CfbWriter& cfb) : cfb_(cfb) {}

  enum class Text { None, Unicode, EightBit };
  // Lays a storage (the root, or an attached message's) out as a message with a subject and,
  // unless it is empty, a body; an attached message's property stream has the shorter header.
  void Message(std::uint32_t storage, const std::string& body, Text bodyKind = Text::Unicode);

  struct Attachment {
    std::string data;
    std::string longName;  // property 3707, left out when empty
    std::string shortName; // property 3704, left out when empty
    Text names = Text::Unicode;
  };
  // Adds attachment number index (from 0) and returns its storage.
  std::uint32_t AddAttachment(std::uint32_t message, std::size_t index,
                              const Attachment& attachment);
  // Adds an attached message and returns its storage, laid out with Message (body as given).
  std::uint32_t AddEmbedded(std::uint32_t message, std::size_t index, const std::string& body);

  static std::string Property(const std::string& tagAndType) { return "__substg1.0_" + tagAndType; }

private:
  void Strings(std::uint32_t storage, const std::string& tag, const std::string& value, Text kind);
  CfbWriter& cfb_;
};

} // namespace kyv::test
