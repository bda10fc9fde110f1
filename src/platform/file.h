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
  static std::optional<File> create(const std::string& path, bool exclusive = false);

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

bool fileExists(const std::string& path);   // a file, not a folder
bool folderExists(const std::string& path);
bool deleteFile(const std::string& path);
// Reads a whole file; nullopt when it cannot be opened or is larger than limit.
std::optional<std::vector<std::byte>> readWholeFile(const std::string& path, std::uint64_t limit);

// Names (not paths) of the entries of a folder that match a pattern with * and ?, compared
// without regard to ASCII letter case, in the order the system yields them; entries of every
// kind (hidden, system, folders) included. pattern is the folder path followed by the mask.
std::vector<std::string> findEntries(const std::string& pattern);

struct FolderEntry {
  std::string name;
  bool isFolder;
};
// Every entry of a folder except "." and "..", for the recursive walk of the command-line tools.
std::vector<FolderEntry> listFolder(const std::string& folder);

} // namespace kyv::platform
