#include "platform/file.h"

#include <windows.h>

#include "platform/system.h"

namespace kyv::platform {

struct File::Impl {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~Impl() {
    if (handle != INVALID_HANDLE_VALUE)
      ::CloseHandle(handle);
  }
};

File::File(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
File::File(File&&) noexcept = default;
File& File::operator=(File&&) noexcept = default;
File::~File() = default;

std::optional<File> File::openRead(const std::string& path) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_RANDOM_ACCESS, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    // A file locked against shared reading can still be read with backup semantics.
    h = ::CreateFileA(path.c_str(), READ_CONTROL, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return std::nullopt;
  }
  auto impl = std::make_unique<Impl>();
  impl->handle = h;
  return File(std::move(impl));
}

std::optional<File> File::create(const std::string& path, bool exclusive) {
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           exclusive ? CREATE_NEW : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    return std::nullopt;
  auto impl = std::make_unique<Impl>();
  impl->handle = h;
  return File(std::move(impl));
}

// Windows gives a new file the folder's inherited permissions either way.
std::optional<File> File::createShared(const std::string& path) { return create(path, false); }

std::uint64_t File::size() const {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(impl_->handle, &size))
    return 0;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::size_t File::readAt(std::uint64_t offset, std::span<std::byte> out) const {
  std::size_t got = 0;
  while (got < out.size()) {
    OVERLAPPED at{};
    const std::uint64_t pos = offset + got;
    at.Offset = static_cast<DWORD>(pos);
    at.OffsetHigh = static_cast<DWORD>(pos >> 32);
    const std::size_t want = out.size() - got;
    const DWORD chunk = want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want);
    DWORD n = 0;
    if (!::ReadFile(impl_->handle, out.data() + got, chunk, &n, &at) || n == 0)
      break;
    got += n;
  }
  return got;
}

bool File::write(std::span<const std::byte> data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0x40000000u ? 0x40000000u : static_cast<DWORD>(data.size());
    DWORD n = 0;
    if (!::WriteFile(impl_->handle, data.data(), chunk, &n, nullptr) || n == 0)
      return false;
    data = data.subspan(n);
  }
  return true;
}

bool fileExists(const std::string& path) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool folderExists(const std::string& path) {
  const DWORD attr = ::GetFileAttributesA(path.c_str());
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

bool deleteFile(const std::string& path) { return ::DeleteFileA(path.c_str()) != 0; }

std::vector<std::string> findEntries(const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA data{};
  HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE)
    return names;
  do {
    const std::string_view name = data.cFileName;
    if (name != "." && name != "..")
      names.emplace_back(name);
  } while (::FindNextFileA(find, &data));
  ::FindClose(find);
  return names;
}

namespace {

EntryKind kindOfAttributes(DWORD attr) {
  // Reparse points (symbolic links, junctions) are links whatever they name.
  if (attr & FILE_ATTRIBUTE_REPARSE_POINT)
    return EntryKind::Link;
  if (attr & FILE_ATTRIBUTE_DIRECTORY)
    return EntryKind::Folder;
  if (attr & FILE_ATTRIBUTE_DEVICE)
    return EntryKind::Device;
  return EntryKind::File;
}

} // namespace

PathStatus pathStatus(const std::string& path, bool follow) {
  PathStatus status;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    status.error = lastErrorText();
    return status;
  }
  const DWORD type = ::GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info{};
  if (type == FILE_TYPE_PIPE) {
    status.kind = EntryKind::Pipe;
  } else if (type == FILE_TYPE_CHAR) {
    status.kind = EntryKind::Device;
  } else if (::GetFileInformationByHandle(h, &info)) {
    status.kind = kindOfAttributes(info.dwFileAttributes);
    if (follow && status.kind == EntryKind::Link)
      status.kind =
          (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryKind::Folder : EntryKind::File;
    status.device = info.dwVolumeSerialNumber;
    status.inode = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
  } else {
    status.error = lastErrorText();
  }
  ::CloseHandle(h);
  return status;
}

FolderListing listFolder(const std::string& folder) {
  FolderListing listing;
  std::string pattern = folder;
  if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/')
    pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA data{};
  HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    if (::GetLastError() != ERROR_FILE_NOT_FOUND)
      listing.error = lastErrorText();
    return listing;
  }
  do {
    const std::string name = data.cFileName;
    if (name == "." || name == "..")
      continue;
    listing.entries.push_back({name, kindOfAttributes(data.dwFileAttributes)});
  } while (::FindNextFileA(find, &data));
  if (::GetLastError() != ERROR_NO_MORE_FILES)
    listing.error = lastErrorText();
  ::FindClose(find);
  return listing;
}

bool copyStreamToFile(const std::string& source, const std::string& target, std::string& error) {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  const bool own = !source.empty();
  if (own)
    in = ::CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) {
    error = own ? lastErrorText() : std::string("no standard input");
    return false;
  }
  HANDLE out = ::CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    error = lastErrorText();
    if (own)
      ::CloseHandle(in);
    return false;
  }
  bool ok = true;
  std::vector<char> buffer(1 << 16);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      // The writer closing its end of a pipe is the end of the stream, not an error.
      if (::GetLastError() != ERROR_BROKEN_PIPE) {
        error = lastErrorText();
        ok = false;
      }
      break;
    }
    if (got == 0)
      break;
    DWORD put = 0;
    if (!::WriteFile(out, buffer.data(), got, &put, nullptr) || put != got) {
      error = lastErrorText();
      ok = false;
      break;
    }
  }
  ::CloseHandle(out);
  if (own)
    ::CloseHandle(in);
  if (!ok)
    ::DeleteFileA(target.c_str());
  return ok;
}

} // namespace kyv::platform
