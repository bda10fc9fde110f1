// Folders given to SCAN, CONTSCAN, MULTISCAN and ALLMATCHSCAN, walked with the daemon's own
// rights: regular files only, symbolic links and special files skipped, entries in name order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace kyv::daemon {

// A folder deeper than this below the one given is not entered; no real mail spool nests so far.
inline constexpr std::size_t kMaxWalkDepth = 64;

struct WalkEntry {
  std::string path;
  int fd = -1;       // open for reading when the entry is a file to scan (the caller closes it)
  std::string error; // otherwise why it could not be read
};

class DirWalk {
public:
  explicit DirWalk(std::string root);
  ~DirWalk() = default;
  DirWalk(const DirWalk&) = delete;
  DirWalk& operator=(const DirWalk&) = delete;

  // The next file to scan or error to report; nullopt when the walk is over.
  std::optional<WalkEntry> Next();

private:
  struct Frame {
    std::string folder;
    std::vector<platform::FolderEntry> entries;
    std::size_t next = 0;
  };
  std::optional<WalkEntry> enter(const std::string& folder);
  std::vector<Frame> stack_;
};

// Opens a file to scan without blocking on FIFOs or following a link planted in its place;
// -1 with errno set otherwise (EINVAL for a file that is not regular).
int OpenRegularFile(const std::string& path, bool followLink);

// The reason clients see for an errno: the system's text with a final full stop.
std::string ErrorReason(int error);

} // namespace kyv::daemon
