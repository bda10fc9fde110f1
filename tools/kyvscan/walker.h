// Turns the paths the user gave into the top-level files to scan: folders walked, links,
// pipes and special files treated as clamscan users expect, filters applied.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "options.h"
#include "platform/file.h"

namespace kyvscan {

class Walker {
public:
  struct Handlers {
    // A regular file to scan, by the path it was found at.
    std::function<void(const std::string& path)> file;
    // A stream to read through before scanning: standard input (source empty, shown as "stdin")
    // or a pipe the user named.
    std::function<void(const std::string& source, const std::string& shown)> stream;
    // A path that could not be examined or read: an error with the system's reason.
    std::function<void(const std::string& path, const std::string& what, const std::string& reason)>
        error;
    // A path passed over that is no error (a FIFO, socket or device inside a folder).
    std::function<void(const std::string& path, const std::string& why)> skipped;
  };

  Walker(const Options& options, Handlers handlers);

  // One path as the user gave it: links followed, a folder walked, a pipe read.
  void Visit(const std::string& path);

private:
  using Identity = std::pair<std::uint64_t, std::uint64_t>;

  void walkFolder(const std::string& root);
  // An entry found inside a folder; subfolders to walk are added to pending.
  void visitEntry(const std::string& path, kyv::platform::EntryKind kind,
                  std::vector<std::string>& pending);
  void scanFile(const std::string& path, const kyv::platform::PathStatus& status);
  bool firstVisit(std::set<Identity>& seen, const kyv::platform::PathStatus& status);
  bool excluded(const std::string& path) const;
  bool included(const std::string& path) const;

  const Options& options_;
  Handlers handlers_;
  // Folders entered so far: a folder reached again (through a link, a bind mount) is not
  // walked twice, which also ends every loop.
  std::set<Identity> folders_;
  // With --follow-symlinks, files scanned so far: each file once, however many links lead to it.
  std::set<Identity> files_;
};

} // namespace kyvscan
