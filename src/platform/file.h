// Files and folders as the system needs them. Paths are narrow byte strings: the ANSI code page
// on Windows, the file system's bytes (UTF-8) elsewhere.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace kyv::platform {

// An open file, read-only or write-only; closed when destroyed.
class File {
public:
  File(File&&) noexcept;
  File& operator=(File&&) noexcept;
  ~File();

  // Opens for reading with shared read access and a random-access hint; when that is refused,
  // tries once more with the weakest access that still reads (backup semantics on Windows).
  static std::optional<File> openRead(const std::string& path);
  // Creates or truncates a file for writing. With exclusive set, fails when the path exists,
  // and never follows a symbolic link; used for temporary files.
  // The file is readable by its owner only (it may hold what a scan unpacked).
  static std::optional<File> create(const std::string& path, bool exclusive = false);
  // Creates or truncates a file others are meant to read too (a database file for every user
  // of the machine): its permissions are whatever the user's umask leaves of read and write
  // for all, as for any tool's output.
  static std::optional<File> createShared(const std::string& path);

  std::uint64_t size() const;
  // Positioned read; returns the count read, 0 at the end or on failure.
  std::size_t readAt(std::uint64_t offset, std::span<std::byte> out) const;
  // Appends at the write position; false when not all bytes were written.
  bool write(std::span<const std::byte> data);

private:
  struct Impl;
  explicit File(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// A ByteSource over an open file.
class FileSource final : public ByteSource {
public:
  explicit FileSource(File file) : file_(std::move(file)), size_(file_.size()) {}
  static std::unique_ptr<FileSource> open(const std::string& path);
  std::size_t read(std::span<std::byte> out) override;
  bool seek(std::uint64_t offset) override;
  std::uint64_t size() const override { return size_; }
  std::uint64_t position() const override { return pos_; }

private:
  File file_;
  std::uint64_t size_;
  std::uint64_t pos_ = 0;
};

// A ByteSink writing to a created file.
class FileSink final : public ByteSink {
public:
  explicit FileSink(File file) : file_(std::move(file)) {}
  bool write(std::span<const std::byte> data) override { return file_.write(data); }

private:
  File file_;
};

bool fileExists(const std::string& path); // a file, not a folder
bool folderExists(const std::string& path);
bool deleteFile(const std::string& path);
// Reads a whole file; nullopt when it cannot be opened or read or is larger than limit, with
// the reason in *error when error is given (the system's words where the system refused).
std::optional<std::vector<std::byte>> readWholeFile(const std::string& path, std::uint64_t limit,
                                                    std::string* error = nullptr);

// Names (not paths) of the entries of a folder that match a pattern with * and ?, compared
// without regard to ASCII letter case, in the order the system yields them; entries of every
// kind (hidden, system, folders) included. pattern is the folder path followed by the mask.
std::vector<std::string> findEntries(const std::string& pattern);

// What a path names, as the walks of the command-line tools need to know it: only regular files
// are ever opened for scanning; a pipe named by the user is read as a stream; sockets and
// devices are never opened.
enum class EntryKind { Missing, File, Folder, Link, Pipe, Socket, Device };

struct PathStatus {
  EntryKind kind = EntryKind::Missing;
  // The file's identity (device and inode; volume serial and file index on Windows), which ends
  // link loops and keeps a file reached twice from being scanned twice.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string error; // the system's reason when the path could not be examined
};
// With follow set, a symbolic link (a reparse point on Windows) is looked through at what it
// names; otherwise it is reported as a Link.
PathStatus pathStatus(const std::string& path, bool follow);

struct FolderEntry {
  std::string name;
  EntryKind kind; // as the listing knows it; a link is reported as a Link, never looked through
};
struct FolderListing {
  std::vector<FolderEntry> entries;
  std::string error; // the system's reason when the folder could not be read (fully)
};
// Every entry of a folder except "." and "..", for the walks of the command-line tools.
FolderListing listFolder(const std::string& folder);

// Copies everything a stream yields into a new file created exclusively at target: standard
// input when source is empty, else the pipe at source. On failure target is removed and error
// holds the system's reason.
bool copyStreamToFile(const std::string& source, const std::string& target, std::string& error);

} // namespace kyv::platform
