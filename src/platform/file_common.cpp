// File operations written once over the File class of each side.
#include "platform/file.h"
#include "platform/system.h"

namespace kyv::platform {

std::unique_ptr<FileSource> FileSource::open(const std::string& path) {
  auto file = File::openRead(path);
  if (!file)
    return nullptr;
  return std::make_unique<FileSource>(std::move(*file));
}

std::size_t FileSource::read(std::span<std::byte> out) {
  if (pos_ >= size_)
    return 0;
  if (out.size() > size_ - pos_)
    out = out.first(static_cast<std::size_t>(size_ - pos_));
  const std::size_t n = file_.readAt(pos_, out);
  pos_ += n;
  return n;
}

bool FileSource::seek(std::uint64_t offset) {
  if (offset > size_)
    return false;
  pos_ = offset;
  return true;
}

std::optional<std::vector<std::byte>> readWholeFile(const std::string& path, std::uint64_t limit,
                                                    std::string* error) {
  auto fail = [&](std::string reason) -> std::optional<std::vector<std::byte>> {
    if (error != nullptr)
      *error = std::move(reason);
    return std::nullopt;
  };
  auto file = File::openRead(path);
  if (!file)
    return fail(lastErrorText());
  const std::uint64_t size = file->size();
  if (size > limit || size > SIZE_MAX)
    return fail("larger than " + std::to_string(limit) + " bytes");
  std::vector<std::byte> bytes(static_cast<std::size_t>(size));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t n = file->readAt(got, std::span(bytes).subspan(got));
    if (n == 0)
      break;
    got += n;
  }
  if (got != bytes.size())
    return fail("read only " + std::to_string(got) + " of " + std::to_string(bytes.size()) +
                " bytes");
  return bytes;
}

} // namespace kyv::platform
