#include "platform/file.h"
#include "platform/wildcard.h"

#include <cerrno>
#include <cstring>
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
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come; only regular
  // files are read, and the flag is cleared once that is known.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0)
    return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int reason = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = reason;
    return std::nullopt;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0)
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
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

std::optional<File> File::createShared(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0)
    return std::nullopt;
  auto impl = std::make_unique<Impl>();
  impl->fd = fd;
  return File(std::move(impl));
}

std::uint64_t File::size() const {
  struct stat st {};
  if (::fstat(impl_->fd, &st) != 0)
    return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t File::readAt(std::uint64_t offset, std::span<std::byte> out) const {
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n =
        ::pread(impl_->fd, out.data() + got, out.size() - got, static_cast<off_t>(offset + got));
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
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool folderExists(const std::string& path) {
  struct stat st {};
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

namespace {

EntryKind kindOfMode(mode_t mode) {
  if (S_ISREG(mode))
    return EntryKind::File;
  if (S_ISDIR(mode))
    return EntryKind::Folder;
  if (S_ISLNK(mode))
    return EntryKind::Link;
  if (S_ISFIFO(mode))
    return EntryKind::Pipe;
  if (S_ISSOCK(mode))
    return EntryKind::Socket;
  return EntryKind::Device;
}

// What the listing itself says of an entry; Missing when it does not say (DT_UNKNOWN).
EntryKind kindOfDirent(unsigned char type) {
  switch (type) {
  case DT_REG:
    return EntryKind::File;
  case DT_DIR:
    return EntryKind::Folder;
  case DT_LNK:
    return EntryKind::Link;
  case DT_FIFO:
    return EntryKind::Pipe;
  case DT_SOCK:
    return EntryKind::Socket;
  case DT_CHR:
  case DT_BLK:
    return EntryKind::Device;
  default:
    return EntryKind::Missing;
  }
}

std::string errnoText(int code) { return std::strerror(code); }

} // namespace

PathStatus pathStatus(const std::string& path, bool follow) {
  PathStatus status;
  struct stat st {};
  const int r = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (r != 0) {
    status.error = errnoText(errno);
    return status;
  }
  status.kind = kindOfMode(st.st_mode);
  status.device = static_cast<std::uint64_t>(st.st_dev);
  status.inode = static_cast<std::uint64_t>(st.st_ino);
  return status;
}

FolderListing listFolder(const std::string& folder) {
  FolderListing listing;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    listing.error = errnoText(errno);
    return listing;
  }
  std::string base = folder;
  if (!base.empty() && base.back() != '/')
    base += '/';
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0)
        listing.error = errnoText(errno);
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    EntryKind kind = kindOfDirent(entry->d_type);
    if (kind == EntryKind::Missing) {
      // Some file systems leave the type out of the listing; lstat, never stat, so that a
      // link is still seen as a link.
      struct stat st {};
      if (::lstat((base + name).c_str(), &st) == 0)
        kind = kindOfMode(st.st_mode);
    }
    listing.entries.push_back({name, kind});
  }
  ::closedir(dir);
  return listing;
}

bool copyStreamToFile(const std::string& source, const std::string& target, std::string& error) {
  int in = STDIN_FILENO;
  if (!source.empty()) {
    // A pipe named by the user: waiting for its writer is what was asked for.
    in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0) {
      error = errnoText(errno);
      return false;
    }
  }
  const int out =
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (out < 0) {
    error = errnoText(errno);
    if (in != STDIN_FILENO)
      ::close(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  while (ok) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      error = errnoText(errno);
      ok = false;
      break;
    }
    if (n == 0)
      break;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0 && errno == EINTR)
        continue;
      if (w <= 0) {
        error = errnoText(w < 0 ? errno : ENOSPC);
        ok = false;
        break;
      }
      done += w;
    }
  }
  if (::close(out) != 0 && ok) {
    error = errnoText(errno);
    ok = false;
  }
  if (in != STDIN_FILENO)
    ::close(in);
  if (!ok)
    ::unlink(target.c_str());
  return ok;
}

} // namespace kyv::platform
