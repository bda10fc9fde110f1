// TNEF, the attachment wrapper some mail servers send as winmail.dat (application/ms-tnef): a
// signature, then attributes of the message and of each attachment, each with its level, id,
// length, data and checksum. Attachments carry their bytes in attAttachData, their names in
// attAttachTitle and, as MAPI properties in attAttachment, their long file name; an attached
// message is a TNEF stream of its own inside the attachment's data object.
//
// The reader only indexes: every attachment is a span of the bytes it was given, so nothing is
// sized by a length the stream declares. A damaged stream gives the attachments before the damage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kyv::mail {

inline constexpr std::uint32_t kTnefSignature = 0x223E9F78;

struct TTnefAttachment {
  std::string Name;                // the long file name, else the title, else empty
  std::span<const std::byte> Data; // the attachment's bytes
  bool Embedded = false;           // Data is an attached message, itself a TNEF stream
};

class TTnefReader {
public:
  // False when the bytes do not start with the TNEF signature.
  bool Read(std::span<const std::byte> bytes);
  const std::vector<TTnefAttachment>& Attachments() const { return attachments_; }
  // Attributes whose checksum did not match (their data is used all the same).
  std::size_t BadChecksums() const { return badChecksums_; }

private:
  void ReadAttachmentProperties(std::span<const std::byte> props, TTnefAttachment& attachment);

  std::vector<TTnefAttachment> attachments_;
  std::size_t badChecksums_ = 0;
};

} // namespace kyv::mail
