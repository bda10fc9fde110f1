#include "document/msg_reader.h"

#include <string_view>

#include "base/text.h"
#include "platform/codepages.h"

namespace kyv::document {

namespace {

constexpr std::string_view kPropertiesStream = "__properties_version1.0";
constexpr std::string_view kPropertyPrefix = "__substg1.0_";
constexpr std::string_view kAttachmentPrefix = "__attach_version1.0_#";
constexpr std::string_view kAttachData = "__substg1.0_37010102";
constexpr std::string_view kAttachMessage = "__substg1.0_3701000D";
// Property tags as "__substg1.0_" + tag + type: strings in UTF-16 (001F) or 8-bit (001E).
constexpr std::string_view kLongName = "3707";
constexpr std::string_view kShortName = "3704";
constexpr std::string_view kBody = "1000";
constexpr std::string_view kUnicode = "001F";
constexpr std::string_view kEightBit = "001E";
// Names are shown, not stored: a longer one is cut rather than read whole.
constexpr std::size_t kMaxNameBytes = 1024;

bool startsWithIgnoreCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         EqualsIgnoreAsciiCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

std::optional<std::uint32_t> childOfType(const TCompoundFile& file, std::uint32_t storage,
                                         const std::string& name, TCfbType type) {
  const auto id = file.Child(storage, name);
  if (id && file.Entry(*id).Type == type)
    return id;
  return std::nullopt;
}

// A string property of a storage, UTF-16 preferred; empty when absent.
std::string stringProperty(TCompoundFile& file, std::uint32_t storage, std::string_view tag) {
  const std::string base = std::string(kPropertyPrefix) + std::string(tag);
  if (const auto id = childOfType(file, storage, base + std::string(kUnicode), TCfbType::Stream)) {
    const auto bytes = file.ReadPrefix(*id, kMaxNameBytes);
    return platform::utf16LeToCp1251(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  if (const auto id = childOfType(file, storage, base + std::string(kEightBit), TCfbType::Stream)) {
    const auto bytes = file.ReadPrefix(*id, kMaxNameBytes);
    std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return text.substr(0, text.find('\0'));
  }
  return {};
}

void addBody(TCompoundFile& file, std::uint32_t message, std::vector<TMsgItem>& items) {
  const std::string base = std::string(kPropertyPrefix) + std::string(kBody);
  for (const bool unicode : {true, false}) {
    const auto id = childOfType(file, message, base + std::string(unicode ? kUnicode : kEightBit),
                                TCfbType::Stream);
    if (!id)
      continue;
    if (file.Entry(*id).Size > 0)
      items.push_back({TMsgItem::TKind::Body, "Body", *id, unicode});
    return;
  }
}

std::vector<std::uint32_t> attachmentsOf(const TCompoundFile& file, std::uint32_t message) {
  std::vector<std::uint32_t> found;
  for (const std::uint32_t id : file.Children(message))
    if (file.Entry(id).Type == TCfbType::Storage &&
        startsWithIgnoreCase(file.NameOf(id), kAttachmentPrefix))
      found.push_back(id);
  return found;
}

} // namespace

bool IsMessageStorage(const TCompoundFile& file, std::uint32_t storage) {
  const auto& entry = file.Entry(storage);
  if (entry.Type != TCfbType::Root && entry.Type != TCfbType::Storage)
    return false;
  if (!childOfType(file, storage, std::string(kPropertiesStream), TCfbType::Stream))
    return false;
  for (const std::uint32_t id : file.Children(storage))
    if (startsWithIgnoreCase(file.NameOf(id), kPropertyPrefix))
      return true;
  return false;
}

std::vector<TMsgItem> ListMessageItems(TCompoundFile& file, std::uint32_t message) {
  std::vector<TMsgItem> items;
  // Attached messages are walked with a stack of their own, not by recursion: each storage is
  // reached once in the directory tree, so the stack is bounded by the directory.
  struct Frame {
    std::vector<std::uint32_t> attachments;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  addBody(file, message, items);
  stack.push_back({attachmentsOf(file, message)});
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.attachments.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t attachment = frame.attachments[frame.next++];
    const std::size_t number = frame.next;
    if (const auto data = childOfType(file, attachment, std::string(kAttachData), TCfbType::Stream);
        data && file.Entry(*data).Size > 0) {
      std::string name = stringProperty(file, attachment, kLongName);
      if (name.empty())
        name = stringProperty(file, attachment, kShortName);
      if (name.empty())
        name = "Attach" + std::to_string(number);
      items.push_back({TMsgItem::TKind::Attachment, std::move(name), *data, false});
    }
    // An object attachment holds some other program's storage (left for the document readers);
    // only a storage laid out as a message is opened here.
    if (const auto inner =
            childOfType(file, attachment, std::string(kAttachMessage), TCfbType::Storage);
        inner && IsMessageStorage(file, *inner)) {
      addBody(file, *inner, items);
      stack.push_back({attachmentsOf(file, *inner)}); // frame is not used past this point
    }
  }
  return items;
}

} // namespace kyv::document
