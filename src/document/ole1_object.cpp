#include "document/ole1_object.h"

#include <algorithm>

#include "base/endian.h"

namespace kyv::document {

namespace {

constexpr std::uint16_t kPackageSignature = 2;
constexpr std::uint16_t kPackageEmbeddedFile = 3;
constexpr std::uint32_t kFormatEmbedded = 2;

// Reads fields in order and fails, rather than overruns, at the end of what it holds.
class Cursor {
public:
  explicit Cursor(std::span<const std::byte> bytes) : bytes_(bytes) {}
  bool u16(std::uint16_t& v) {
    if (bytes_.size() - at_ < 2)
      return false;
    v = loadLe16(bytes_.data() + at_);
    at_ += 2;
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (bytes_.size() - at_ < 4)
      return false;
    v = loadLe32(bytes_.data() + at_);
    at_ += 4;
    return true;
  }
  // A string up to its NUL, which must lie inside what the cursor holds.
  bool cString(std::string& s) {
    const auto rest = bytes_.subspan(at_);
    const auto nul = std::find(rest.begin(), rest.end(), std::byte{0});
    if (nul == rest.end())
      return false;
    s.assign(reinterpret_cast<const char*>(rest.data()),
             static_cast<std::size_t>(nul - rest.begin()));
    at_ += s.size() + 1;
    return true;
  }
  // A string of a 4-byte length (which counts its NUL) and the bytes; the text ends at its NUL.
  bool lengthPrefixed(std::string& s) {
    std::uint32_t n = 0;
    if (!u32(n) || n > bytes_.size() - at_)
      return false;
    const auto text = bytes_.subspan(at_, n);
    const auto nul = std::find(text.begin(), text.end(), std::byte{0});
    s.assign(reinterpret_cast<const char*>(text.data()),
             static_cast<std::size_t>(nul - text.begin()));
    at_ += n;
    return true;
  }
  std::size_t at() const { return at_; }

private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

std::string baseName(std::string_view path) {
  const std::size_t cut = path.find_last_of("\\/:");
  std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
  std::erase_if(name, [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
  return name;
}

} // namespace

std::optional<TOle1Package> ParsePackage(std::span<const std::byte> head,
                                         std::uint64_t nativeSize) {
  Cursor in(head.first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), nativeSize))));
  TOle1Package package;
  std::uint16_t signature = 0, reserved = 0, kind = 0;
  std::uint32_t dataSize = 0;
  if (!in.u16(signature) || signature != kPackageSignature || !in.cString(package.Label) ||
      !in.cString(package.FileName) || !in.u16(reserved) || !in.u16(kind) ||
      kind != kPackageEmbeddedFile)
    return std::nullopt;
  if (!in.lengthPrefixed(package.TempPath) || !in.u32(dataSize))
    return std::nullopt;
  package.DataOffset = in.at();
  package.DataSize = dataSize;
  if (package.DataSize > nativeSize - package.DataOffset)
    return std::nullopt;
  return package;
}

std::optional<TOle1Object> ParseOle1Object(std::span<const std::byte> head,
                                           std::uint64_t objectSize) {
  Cursor in(head.first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), objectSize))));
  TOle1Object object;
  std::uint32_t version = 0, nativeSize = 0;
  std::string topic, item;
  if (!in.u32(version) || !in.u32(object.FormatId) || object.FormatId != kFormatEmbedded ||
      !in.lengthPrefixed(object.ClassName) || !in.lengthPrefixed(topic) ||
      !in.lengthPrefixed(item) || !in.u32(nativeSize))
    return std::nullopt;
  object.NativeOffset = in.at();
  object.NativeSize = std::min<std::uint64_t>(nativeSize, objectSize - object.NativeOffset);
  object.NativeCut = object.NativeSize < nativeSize;
  return object;
}

std::string PackageFileName(const TOle1Package& package) {
  for (const std::string* path : {&package.FileName, &package.Label, &package.TempPath})
    if (std::string name = baseName(*path); !name.empty())
      return name;
  return {};
}

} // namespace kyv::document
