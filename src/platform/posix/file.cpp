#include "platform/file.h"
#include "platform/wildcard.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kyv::platform {

struct File::Impl {
  int fd = -1;
  ~Impl() {
    if (fd >= 0)
      ::close(fd);
  }
};

File::File(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;
File::~File() = default;

std::optional<File> File::openRead(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  struct stat st{};
  // Folders open on POSIX but are not files to scan.
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
#ifdef POSIX_FADV_RANDOM
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
#endif
  auto impl = std::make_unique<Impl>();
  impl->fd = fd;
  return File(std::move(impl));
}

std::optional<File> File::create(const std::string& path, bool exclusive) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = ::open(path.c_str(), flags, 0600);
  if (fd < 0)
    return std::nullopt;
  auto impl = std::make_unique<Impl>();
  impl->fd = fd;
  return File(std::move(impl));
}

std::uint64_t File::size() const {
  struct stat st{};
  if (::fstat(impl_->fd, &st) != 0)
    return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::readAt(std::uint64_t offset, std::span<std::byte> out) const {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::pread(impl_->fd, out.data() + got, out.size() - got,
                              static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

bool File::write(std::span<const std::byte> data) {
  while (!data.empty()) {
    const ssize_t n = ::write(impl_->fd, data.data(), data.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      return false;
    data = data.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool fileExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool folderExists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool deleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::vector<std::string> findEntries(const std::string& pattern) {
  std::vector<std::string> names;
  const std::size_t slash = pattern.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash + 1);
  const std::string mask = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr)
    return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    if (wildcardMatch(mask, name))
      names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

std::vector<FolderEntry> listFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr)
    return entries;
  std::string base = folder;
  if (!base.empty() && base.back() != '/')
    base += '/';
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    struct stat st{};
    // Symbolic links are not followed into folders: a link loop must not walk forever.
    const bool isFolder = ::lstat((base + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    entries.push_back({name, isFolder});
  }
  ::closedir(dir);
  return entries;
}

} // namespace kyv::platform
