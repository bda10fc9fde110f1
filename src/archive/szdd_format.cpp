#include "archive/szdd_format.h"

#include <array>
#include <cstring>
#include <vector>

#include "archive/ab_exception.h"
#include "base/endian.h"

namespace kyv::archive {

namespace {

bool startsWith(std::span<const std::byte> head, std::string_view magic) {
  return head.size() >= magic.size() && std::memcmp(head.data(), magic.data(), magic.size()) == 0;
}

[[noreturn]] void damaged(const std::string& what) {
  throw EAbException("damaged compressed-file header: " + what, AbCode::Unknown,
                     ErrorKind::BadHeader);
}

// The NUL-terminated name parts: at most this many bytes with the NUL.
constexpr std::size_t kNameField = 9;
constexpr std::size_t kExtensionField = 4;

} // namespace

bool isSzdd(std::span<const std::byte> head) { return startsWith(head, kSzddMagic); }
bool isKwaj(std::span<const std::byte> head) { return startsWith(head, kKwajMagic); }

CompressedFileHeader readCompressedFileHeader(ByteSource& source) {
  std::array<std::byte, kSzddHeader> fixed{};
  if (!source.seek(0) || !source.readExact(fixed))
    damaged("too short");
  CompressedFileHeader header;
  if (isSzdd(fixed)) {
    if (std::to_integer<char>(fixed[8]) != 'A')
      damaged("unknown SZDD mode");
    header.method = kwaj::kLzss;
    header.lastChar = std::to_integer<char>(fixed[9]);
    header.originalSize = loadLe32(&fixed[10]);
    header.dataOffset = kSzddHeader;
    return header;
  }
  if (!isKwaj(fixed))
    damaged("no signature");
  header.kwaj = true;
  header.method = loadLe16(&fixed[8]);
  header.dataOffset = loadLe16(&fixed[10]);
  const std::uint16_t flags = loadLe16(&fixed[12]);
  const std::uint64_t fileSize = source.size();
  std::uint64_t pos = kKwajFixedHeader;
  const auto read = [&](std::span<std::byte> out) {
    if (!source.seek(pos) || !source.readExact(out))
      damaged("an optional field leaves the file");
    pos += out.size();
  };
  const auto skipCounted = [&] {
    std::array<std::byte, 2> n{};
    read(n);
    pos += loadLe16(n.data());
  };
  const auto readText = [&](std::size_t field) {
    std::array<std::byte, kNameField> text{};
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(field, fileSize > pos ? fileSize - pos : 0));
    read(std::span(text).first(n));
    const auto* nul = static_cast<const std::byte*>(std::memchr(text.data(), 0, n));
    const std::size_t length = nul != nullptr ? static_cast<std::size_t>(nul - text.data()) : n;
    pos -= n - (nul != nullptr ? length + 1 : n);
    return std::string(reinterpret_cast<const char*>(text.data()), length);
  };
  if (flags & kwaj::kHasLength) {
    std::array<std::byte, 4> n{};
    read(n);
    header.originalSize = loadLe32(n.data());
  }
  if (flags & kwaj::kHasUnknown)
    pos += 2;
  if (flags & kwaj::kHasExtra)
    skipCounted();
  if (flags & kwaj::kHasName)
    header.name = readText(kNameField);
  if (flags & kwaj::kHasExtension) {
    const std::string extension = readText(kExtensionField);
    header.name += "." + extension;
  }
  if (flags & kwaj::kHasText)
    skipCounted();
  if (header.dataOffset > fileSize)
    damaged("the data starts past the end of the file");
  return header;
}

std::string originalName(const CompressedFileHeader& header, std::string_view fileName) {
  const std::size_t slash = fileName.find_last_of("\\/");
  std::string name(slash == std::string_view::npos ? fileName : fileName.substr(slash + 1));
  if (header.kwaj)
    return header.name.empty() ? name : header.name;
  if (!name.empty() && name.back() == '_' && header.lastChar != 0)
    name.back() = header.lastChar;
  return name;
}

} // namespace kyv::archive
