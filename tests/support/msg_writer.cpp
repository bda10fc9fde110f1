#include "msg_writer.h"

#include <cstdio>

namespace kyv::test {

namespace {
std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
// A fixed-size property entry of the property stream: tag, flags, eight bytes of value.
std::string fixedProperty(std::uint32_t tag, std::uint32_t value) {
  return le32(tag) + le32(0x00000006) + le32(value) + le32(0);
}
std::string attachmentName(std::size_t index) {
  char name[40];
  std::snprintf(name, sizeof name, "__attach_version1.0_#%08lX", static_cast<unsigned long>(index));
  return name;
}
} // namespace

// String streams hold the text without its terminating NUL (the property stream counts it).
void MsgWriter::Strings(std::uint32_t storage, const std::string& tag, const std::string& value,
                        Text kind) {
  if (kind == Text::Unicode)
    cfb_.AddStream(storage, Property(tag + "001F"), CfbWriter::Utf16(value, false));
  else if (kind == Text::EightBit)
    cfb_.AddStream(storage, Property(tag + "001E"), value);
}

void MsgWriter::Message(std::uint32_t storage, const std::string& body, Text bodyKind) {
  // The root's property stream starts with 32 bytes (counts of recipients and attachments among
  // them), an attached message's with 24; these readers never look inside it.
  const std::size_t header = storage == CfbWriter::kRoot ? 32 : 24;
  cfb_.AddStream(storage, "__properties_version1.0",
                 std::string(header, '\0') + fixedProperty(0x0E070003, 0)); // message flags
  Strings(storage, "0037", "A message for the test", Text::Unicode);        // subject
  if (!body.empty())
    Strings(storage, "1000", body, bodyKind);
}

std::uint32_t MsgWriter::AddAttachment(std::uint32_t message, std::size_t index,
                                       const Attachment& a) {
  const std::uint32_t storage = cfb_.AddStorage(message, attachmentName(index));
  cfb_.AddStream(storage, "__properties_version1.0",
                 std::string(8, '\0') + fixedProperty(0x37050003, 1));
  cfb_.AddStream(storage, Property("37010102"), a.data);
  if (!a.longName.empty())
    Strings(storage, "3707", a.longName, a.names);
  if (!a.shortName.empty())
    Strings(storage, "3704", a.shortName, a.names);
  return storage;
}

std::uint32_t MsgWriter::AddEmbedded(std::uint32_t message, std::size_t index,
                                     const std::string& body) {
  const std::uint32_t storage = cfb_.AddStorage(message, attachmentName(index));
  cfb_.AddStream(storage, "__properties_version1.0",
                 std::string(8, '\0') + fixedProperty(0x37050003, 5));
  Strings(storage, "3001", "Forwarded message", Text::Unicode); // display name
  const std::uint32_t inner = cfb_.AddStorage(storage, Property("3701000D"));
  Message(inner, body);
  return inner;
}

} // namespace kyv::test
