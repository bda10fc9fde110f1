#include "document/vba_project.h"

#include "base/endian.h"
#include "codec/ovba.h"
#include "platform/codepages.h"

namespace kyv::document {

namespace {

// Record ids of the dir stream.
constexpr std::uint16_t kProjectVersion = 0x0009;
constexpr std::uint16_t kModuleName = 0x0019;
constexpr std::uint16_t kModuleNameUnicode = 0x0047;
constexpr std::uint16_t kModuleStreamName = 0x001A;
constexpr std::uint16_t kModuleStreamNameUnicode = 0x0032;
constexpr std::uint16_t kModuleOffset = 0x0031;
constexpr std::uint16_t kModuleTerminator = 0x002B;
// The project version's two version numbers take six bytes; its size field says four.
constexpr std::size_t kProjectVersionBytes = 6;
constexpr std::size_t kRecordHeader = 6;

std::u16string utf16Of(std::span<const std::byte> bytes) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    text.push_back(static_cast<char16_t>(loadLe16(bytes.data() + i)));
  return text;
}

std::string narrowOf(const std::u16string& text) {
  std::string bytes;
  for (const char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return platform::utf16LeToCp1251(bytes);
}

} // namespace

TVbaDir ParseVbaDir(std::span<const std::byte> dir) {
  TVbaDir parsed;
  std::vector<TVbaDirModule>& modules = parsed.Modules;
  TVbaDirModule current;
  bool inModule = false;
  std::size_t at = 0;
  while (dir.size() - at >= kRecordHeader) {
    const std::uint16_t id = loadLe16(dir.data() + at);
    std::size_t size = loadLe32(dir.data() + at + 2);
    if (id == kProjectVersion)
      size = kProjectVersionBytes;
    at += kRecordHeader;
    if (size > dir.size() - at) {
      parsed.Damaged = true; // a record that runs past the end: the rest cannot be followed
      break;
    }
    const auto data = dir.subspan(at, size);
    at += size;
    switch (id) {
    case kModuleName:
      current = {};
      current.Name.assign(reinterpret_cast<const char*>(data.data()), data.size());
      inModule = true;
      break;
    case kModuleNameUnicode:
      current.UnicodeName = utf16Of(data);
      break;
    case kModuleStreamName:
      current.StreamName.assign(reinterpret_cast<const char*>(data.data()), data.size());
      break;
    case kModuleStreamNameUnicode:
      current.UnicodeStreamName = utf16Of(data);
      break;
    case kModuleOffset:
      if (data.size() >= 4)
        current.TextOffset = loadLe32(data.data());
      break;
    case kModuleTerminator:
      if (inModule)
        modules.push_back(std::move(current));
      current = {};
      inModule = false;
      break;
    default:
      break;
    }
  }
  return parsed;
}

bool IsVbaStorage(const TCompoundFile& file, std::uint32_t storage) {
  const TCfbEntry& entry = file.Entry(storage);
  if (entry.Type != TCfbType::Storage && entry.Type != TCfbType::Root)
    return false;
  const auto dir = file.Child(storage, std::string_view("dir"));
  return dir && file.Entry(*dir).Type == TCfbType::Stream;
}

TVbaProject ReadVbaProject(TCompoundFile& file, std::uint32_t storage) {
  TVbaProject project;
  const auto dirId = file.Child(storage, std::string_view("dir"));
  if (!dirId)
    return project;
  VectorSink dir(kMaxVbaDirBytes);
  codec::OvbaDecoder decoder(dir);
  const TCfbRead read = file.ReadStream(*dirId, decoder);
  const codec::OvbaStatus status = decoder.finish();
  const TVbaDir parsed = ParseVbaDir(dir.bytes());
  project.DirDamaged = read == TCfbRead::Short || status != codec::OvbaStatus::Ok || parsed.Damaged;
  for (const TVbaDirModule& m : parsed.Modules) {
    // The stream is found by its UTF-16 name, which holds any letter; older writers give only
    // the other, which is matched letter for letter.
    auto stream = m.UnicodeStreamName.empty()
                      ? file.Child(storage, std::string_view(m.StreamName))
                      : file.Child(storage, std::u16string_view(m.UnicodeStreamName));
    if (!stream && !m.UnicodeStreamName.empty())
      stream = file.Child(storage, std::string_view(m.StreamName));
    if (!stream || file.Entry(*stream).Type != TCfbType::Stream)
      continue;
    std::string name = m.UnicodeName.empty() ? m.Name : narrowOf(m.UnicodeName);
    if (name.empty())
      name = file.NameOf(*stream);
    project.Modules.push_back({std::move(name), *stream, m.TextOffset});
  }
  return project;
}

} // namespace kyv::document
