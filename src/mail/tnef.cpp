#include "mail/tnef.h"

#include <cstring>
#include <string_view>

#include "base/endian.h"
#include "platform/codepages.h"

namespace kyv::mail {
namespace {

constexpr std::uint8_t kLevelAttachment = 2;
// Attribute ids (the low half of the 32-bit attribute; the high half is its type).
constexpr std::uint16_t kAttachRendData = 0x9002; // starts a new attachment
constexpr std::uint16_t kAttachTitle = 0x8010;
constexpr std::uint16_t kAttachData = 0x800F;
constexpr std::uint16_t kAttachment = 0x9005; // the attachment's MAPI properties

// MAPI properties of an attachment that matter here.
constexpr std::uint16_t kPropAttachDataObject = 0x3701;
constexpr std::uint16_t kPropAttachLongFilename = 0x3707;
constexpr std::uint16_t kTypeString8 = 0x001E;
constexpr std::uint16_t kTypeUnicode = 0x001F;
constexpr std::uint16_t kTypeBinary = 0x0102;
constexpr std::uint16_t kTypeObject = 0x000D;
constexpr std::uint16_t kMultiValued = 0x1000;

// IID_IMessage, as it is stored (little-endian GUID): the object is an attached message.
constexpr unsigned char kIidMessage[16] = {0x07, 0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

// Size of one value of a fixed-size property type; 0 for the types of variable size, -1 for a
// type this reader does not know (the rest of the list cannot be walked then).
int fixedSize(std::uint16_t type) {
  switch (type) {
  case 0x0001: // null
  case 0x0002: // short, padded to four bytes
  case 0x0003: // long
  case 0x0004: // float
  case 0x000A: // error code
  case 0x000B: // boolean, padded to four bytes
    return 4;
  case 0x0005: // double
  case 0x0006: // currency
  case 0x0007: // application time
  case 0x0014: // 64-bit integer
  case 0x0040: // system time
    return 8;
  case 0x0048: // GUID
    return 16;
  case kTypeString8:
  case kTypeUnicode:
  case kTypeBinary:
  case kTypeObject:
  case 0x00FB: // server id
  case 0x00FD: // restriction
    return 0;
  default:
    return -1;
  }
}

// A cursor over a span that never reads past it.
class Cursor {
public:
  explicit Cursor(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t left() const { return bytes_.size() - pos_; }
  bool u8(std::uint8_t& v) {
    if (left() < 1)
      return false;
    v = static_cast<std::uint8_t>(bytes_[pos_++]);
    return true;
  }
  bool u16(std::uint16_t& v) {
    if (left() < 2)
      return false;
    v = loadLe16(bytes_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (left() < 4)
      return false;
    v = loadLe32(bytes_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool take(std::uint64_t count, std::span<const std::byte>& out) {
    if (count > left())
      return false;
    out = bytes_.subspan(pos_, static_cast<std::size_t>(count));
    pos_ += static_cast<std::size_t>(count);
    return true;
  }
  bool skip(std::uint64_t count) {
    std::span<const std::byte> ignored;
    return take(count, ignored);
  }

private:
  std::span<const std::byte> bytes_;
  std::size_t pos_ = 0;
};

std::uint64_t padded(std::uint64_t n) { return (n + 3) & ~std::uint64_t{3}; }

std::string_view textOf(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// A narrow string property or title: up to its first NUL.
std::string narrow(std::span<const std::byte> bytes) {
  std::string_view text = textOf(bytes);
  return std::string(text.substr(0, text.find('\0')));
}

} // namespace

bool TTnefReader::Read(std::span<const std::byte> bytes) {
  attachments_.clear();
  badChecksums_ = 0;
  Cursor in(bytes);
  std::uint32_t signature = 0;
  std::uint16_t key = 0;
  if (!in.u32(signature) || signature != kTnefSignature || !in.u16(key))
    return false;
  TTnefAttachment* current = nullptr;
  std::string title;
  while (in.left() > 0) {
    std::uint8_t level = 0;
    std::uint32_t id = 0;
    std::uint32_t length = 0;
    std::span<const std::byte> data;
    std::uint16_t checksum = 0;
    if (!in.u8(level) || !in.u32(id) || !in.u32(length) || !in.take(length, data) ||
        !in.u16(checksum))
      break; // the stream is cut off or a length lies: what was read stands
    std::uint16_t sum = 0;
    for (const std::byte b : data)
      sum = static_cast<std::uint16_t>(sum + static_cast<std::uint8_t>(b));
    if (sum != checksum)
      ++badChecksums_;
    if (level != kLevelAttachment)
      continue;
    const auto attribute = static_cast<std::uint16_t>(id & 0xFFFF);
    if (attribute == kAttachRendData || current == nullptr) {
      attachments_.emplace_back();
      current = &attachments_.back();
      if (attribute == kAttachRendData)
        continue;
    }
    switch (attribute) {
    case kAttachTitle:
      if (current->Name.empty())
        current->Name = narrow(data);
      break;
    case kAttachData:
      current->Data = data;
      current->Embedded = false;
      break;
    case kAttachment:
      ReadAttachmentProperties(data, *current);
      break;
    default:
      break;
    }
  }
  return true;
}

// The attachment's MAPI property list: its long file name wins over the title, and its data
// object, when it is an attached message, replaces the data.
void TTnefReader::ReadAttachmentProperties(std::span<const std::byte> props,
                                           TTnefAttachment& attachment) {
  Cursor in(props);
  std::uint32_t count = 0;
  if (!in.u32(count))
    return;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint16_t type = 0;
    std::uint16_t id = 0;
    if (!in.u16(type) || !in.u16(id))
      return;
    if (id >= 0x8000) {
      // A named property: its GUID, then a number or a name.
      std::uint32_t kind = 0;
      if (!in.skip(16) || !in.u32(kind))
        return;
      std::uint32_t value = 0;
      if (!in.u32(value))
        return;
      if (kind != 0 && !in.skip(padded(value)))
        return;
    }
    const bool multi = (type & kMultiValued) != 0;
    const auto base = static_cast<std::uint16_t>(type & ~kMultiValued);
    const int size = fixedSize(base);
    if (size < 0)
      return;
    std::uint32_t values = 1;
    if ((multi || size == 0) && !in.u32(values))
      return;
    for (std::uint32_t v = 0; v < values; ++v) {
      if (size > 0) {
        if (!in.skip(static_cast<std::uint64_t>(size)))
          return;
        continue;
      }
      std::uint32_t length = 0;
      std::span<const std::byte> value;
      if (!in.u32(length) || !in.take(length, value) || !in.skip(padded(length) - length))
        return;
      if (multi || v != 0)
        continue;
      if (id == kPropAttachLongFilename && (base == kTypeString8 || base == kTypeUnicode)) {
        std::string name =
            base == kTypeUnicode ? platform::utf16LeToCp1251(textOf(value)) : narrow(value);
        if (!name.empty())
          attachment.Name = std::move(name);
      } else if (id == kPropAttachDataObject && base == kTypeObject && value.size() >= 16) {
        attachment.Embedded = std::memcmp(value.data(), kIidMessage, 16) == 0;
        attachment.Data = value.subspan(16);
      } else if (id == kPropAttachDataObject && base == kTypeBinary && attachment.Data.empty()) {
        attachment.Data = value;
      }
    }
  }
}

} // namespace kyv::mail
