#include "daemon/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kyv::daemon {

std::string ErrorReason(int error) {
  if (error == EINVAL)
    return "Not supported file type.";
  return std::string(std::strerror(error)) + ".";
}

int OpenRegularFile(const std::string& path, bool followLink) {
  const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0)
    return -1;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

DirWalk::DirWalk(std::string root) {
  while (root.size() > 1 && root.back() == '/')
    root.pop_back();
  Frame top;
  top.folder = std::move(root);
  top.names.push_back(""); // the root itself, entered by the first Next()
  stack_.push_back(std::move(top));
}

std::optional<WalkEntry> DirWalk::enter(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr)
    return WalkEntry{folder, -1, ErrorReason(errno)};
  Frame frame;
  frame.folder = folder;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name != "." && name != "..")
      frame.names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(frame.names.begin(), frame.names.end());
  stack_.push_back(std::move(frame));
  return std::nullopt;
}

std::optional<WalkEntry> DirWalk::Next() {
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    if (frame.next == frame.names.size()) {
      stack_.pop_back();
      continue;
    }
    const std::string& name = frame.names[frame.next++];
    if (name.empty()) { // the root
      const std::string root = frame.folder;
      stack_.pop_back();
      if (auto error = enter(root))
        return error;
      continue;
    }
    const std::string path = (frame.folder == "/" ? "" : frame.folder) + "/" + name;
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0)
      return WalkEntry{path, -1, ErrorReason(errno)};
    if (S_ISDIR(st.st_mode)) {
      if (stack_.size() <= kMaxWalkDepth)
        if (auto error = enter(path))
          return error;
      continue;
    }
    if (!S_ISREG(st.st_mode))
      continue; // links, sockets, FIFOs and devices are not mail
    const int fd = OpenRegularFile(path, false);
    if (fd < 0)
      return WalkEntry{path, -1, ErrorReason(errno)};
    return WalkEntry{path, fd, {}};
  }
  return std::nullopt;
}

} // namespace kyv::daemon
