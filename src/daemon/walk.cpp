#include "daemon/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file.h"

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
  struct stat st {};
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
  top.entries.push_back({"", platform::EntryKind::Folder}); // the root, entered by the first Next()
  stack_.push_back(std::move(top));
}

std::optional<WalkEntry> DirWalk::enter(const std::string& folder) {
  platform::FolderListing listing = platform::listFolder(folder);
  if (!listing.error.empty() && listing.entries.empty())
    return WalkEntry{folder, -1, listing.error + "."};
  Frame frame;
  frame.folder = folder;
  frame.entries = std::move(listing.entries);
  std::sort(frame.entries.begin(), frame.entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  stack_.push_back(std::move(frame));
  return std::nullopt;
}

std::optional<WalkEntry> DirWalk::Next() {
  while (!stack_.empty()) {
    Frame& frame = stack_.back();
    if (frame.next == frame.entries.size()) {
      stack_.pop_back();
      continue;
    }
    const platform::FolderEntry& entry = frame.entries[frame.next++];
    if (entry.name.empty()) { // the root
      const std::string root = frame.folder;
      stack_.pop_back();
      if (auto error = enter(root))
        return error;
      continue;
    }
    const std::string path = (frame.folder == "/" ? "" : frame.folder) + "/" + entry.name;
    // The listing knows each entry's kind (looked up without following links where it did not).
    if (entry.kind == platform::EntryKind::Folder) {
      if (stack_.size() <= kMaxWalkDepth)
        if (auto error = enter(path))
          return error;
      continue;
    }
    // Links, sockets, FIFOs and devices are not mail; an entry the listing could not type is
    // opened, so that its reason reaches the client.
    if (entry.kind != platform::EntryKind::File && entry.kind != platform::EntryKind::Missing)
      continue;
    const int fd = OpenRegularFile(path, false);
    if (fd < 0)
      return WalkEntry{path, -1, ErrorReason(errno)};
    return WalkEntry{path, fd, {}};
  }
  return std::nullopt;
}

} // namespace kyv::daemon
