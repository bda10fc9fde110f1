#include "walker.h"

#include <algorithm>
#include <vector>

#include "platform/system.h"

namespace kyvscan {

using kyv::platform::EntryKind;
using kyv::platform::PathStatus;

namespace {

const char* kindName(EntryKind kind) {
  switch (kind) {
  case EntryKind::Pipe:
    return "a FIFO";
  case EntryKind::Socket:
    return "a socket";
  case EntryKind::Device:
    return "a device";
  default:
    return "not a regular file";
  }
}

std::string joinPath(const std::string& folder, const std::string& name) {
  const char sep = kyv::platform::pathSeparator();
  if (!folder.empty() && folder.back() != sep && folder.back() != '/')
    return folder + sep + name;
  return folder + name;
}

} // namespace

Walker::Walker(const Options& options, Handlers handlers)
    : options_(options), handlers_(std::move(handlers)) {}

bool Walker::excluded(const std::string& path) const {
  return std::any_of(options_.exclude.begin(), options_.exclude.end(),
                     [&](const std::regex& re) { return std::regex_search(path, re); });
}

bool Walker::included(const std::string& path) const {
  return options_.include.empty() ||
         std::any_of(options_.include.begin(), options_.include.end(),
                     [&](const std::regex& re) { return std::regex_search(path, re); });
}

bool Walker::firstVisit(std::set<Identity>& seen, const PathStatus& status) {
  return seen.insert({status.device, status.inode}).second;
}

void Walker::Visit(const std::string& path) {
  if (path == "-") {
    handlers_.stream(std::string(), "stdin");
    return;
  }
  if (excluded(path))
    return;
  // Links named by the user are followed, to a file or a folder alike.
  const PathStatus status = kyv::platform::pathStatus(path, true);
  switch (status.kind) {
  case EntryKind::Missing:
    handlers_.error(path, "cannot examine the path", status.error);
    return;
  case EntryKind::Folder:
    if (firstVisit(folders_, status))
      walkFolder(path);
    return;
  case EntryKind::Pipe:
    // /dev/stdin, <(...), a named FIFO: what the user asked for is whatever comes through it.
    if (included(path))
      handlers_.stream(path, path);
    return;
  case EntryKind::File:
  case EntryKind::Link:
    if (included(path))
      scanFile(path, status);
    return;
  case EntryKind::Socket:
  case EntryKind::Device:
    handlers_.error(path, "cannot scan it", kindName(status.kind));
    return;
  }
}

void Walker::walkFolder(const std::string& root) {
  // Depth first without recursion, so that no tree is too deep for the stack.
  std::vector<std::string> pending{root};
  while (!pending.empty()) {
    const std::string folder = std::move(pending.back());
    pending.pop_back();
    kyv::platform::FolderListing listing = kyv::platform::listFolder(folder);
    if (!listing.error.empty())
      handlers_.error(folder, "cannot read the folder", listing.error);
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    std::vector<std::string> subfolders;
    for (const kyv::platform::FolderEntry& entry : listing.entries)
      visitEntry(joinPath(folder, entry.name), entry.kind, subfolders);
    // Reversed onto the stack, so that subfolders are walked in name order.
    pending.insert(pending.end(), subfolders.rbegin(), subfolders.rend());
  }
}

void Walker::visitEntry(const std::string& path, EntryKind kind,
                        std::vector<std::string>& pending) {
  if (excluded(path))
    return;
  PathStatus status;
  status.kind = kind;
  if (kind == EntryKind::Link) {
    // What the link names decides; a linked folder is walked only when asked for.
    status = kyv::platform::pathStatus(path, true);
    if (status.kind == EntryKind::Missing) {
      handlers_.skipped(path, "a link to nothing (" + status.error + ")");
      return;
    }
    if (status.kind == EntryKind::Folder && !options_.followSymlinks)
      return;
  }
  switch (status.kind) {
  case EntryKind::Folder:
    if (kind == EntryKind::Folder)
      status = kyv::platform::pathStatus(path, false);
    if (status.kind == EntryKind::Missing)
      handlers_.error(path, "cannot examine the folder", status.error);
    else if (firstVisit(folders_, status))
      pending.push_back(path);
    return;
  case EntryKind::File:
    if (included(path))
      scanFile(path, status);
    return;
  case EntryKind::Missing:
    handlers_.error(path, "cannot examine the path", "the listing gives no type");
    return;
  default:
    // Opening a FIFO would wait for a writer; a device may never end. Neither is a file.
    handlers_.skipped(path, kindName(status.kind));
    return;
  }
}

void Walker::scanFile(const std::string& path, const PathStatus& status) {
  if (options_.followSymlinks) {
    PathStatus identity = status;
    if (identity.device == 0 && identity.inode == 0)
      identity = kyv::platform::pathStatus(path, true);
    if (identity.kind != EntryKind::Missing && !firstVisit(files_, identity))
      return;
  }
  handlers_.file(path);
}

} // namespace kyvscan
