// The cabinet interface without the Windows library: the cabinet's own header and file table are
// read here (so names and the continued-from flags come as stored, bytes unchanged), and
// libmspack decodes the data of each file that is copied.
#include "platform/cabinet.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mspack.h>
#include <map>
#include <set>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/endian.h"

namespace kyv::platform {

namespace {

// Cabinet header layout, from the published cabinet format.
constexpr std::size_t kHeaderSize = 36;
constexpr std::size_t kOffSize = 8;
constexpr std::size_t kOffFiles = 16;
constexpr std::size_t kOffVersionMajor = 25;
constexpr std::size_t kOffFolders = 26;
constexpr std::size_t kOffFileCount = 28;
constexpr std::size_t kOffFlags = 30;
constexpr std::size_t kOffSetId = 32;
constexpr std::size_t kOffIndex = 34;
constexpr std::uint16_t kFlagPrevious = 0x0001;
constexpr std::uint16_t kFlagNext = 0x0002;
constexpr std::uint16_t kFlagReserve = 0x0004;
constexpr std::size_t kFileEntrySize = 16; // before the name
// Folder indexes of files that continue from or into a neighbouring cabinet.
constexpr std::uint16_t kContinuedFromPrevious = 0xFFFD;
constexpr std::uint16_t kContinuedPreviousAndNext = 0xFFFF;
// Names in a cabinet are at most 255 bytes plus the terminator (the format's own limit).
constexpr std::size_t kNameMax = 256;

// Handles of this side are file descriptors plus one, so that no handle is 0 ("skip").
CabHandle toHandle(int fd) { return static_cast<CabHandle>(fd) + 1; }
int toFd(CabHandle h) { return static_cast<int>(h - 1); }

struct FileEntry {
  std::string name;
  std::uint32_t size = 0;
  std::uint32_t offset = 0;
  std::uint16_t folder = 0;
  std::uint16_t date = 0;
  std::uint16_t time = 0;
  std::uint16_t attributes = 0;
};

struct Header {
  CabinetInfo info;
  std::uint32_t filesOffset = 0;
  std::string previousName, previousDisk, nextName, nextDisk;
  std::vector<FileEntry> files;
};

class Reader {
public:
  explicit Reader(int fd) : fd_(fd) {}
  bool read(std::uint64_t offset, std::span<std::byte> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
      if (n <= 0)
        return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // A zero-terminated string of at most kNameMax bytes at offset; advances offset past it.
  bool readString(std::uint64_t& offset, std::string& out) const {
    std::array<std::byte, kNameMax> buf{};
    const ssize_t n = ::pread(fd_, buf.data(), buf.size(), static_cast<off_t>(offset));
    if (n <= 0)
      return false;
    for (ssize_t i = 0; i < n; ++i)
      if (buf[static_cast<std::size_t>(i)] == std::byte{0}) {
        out.assign(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(i));
        offset += static_cast<std::uint64_t>(i) + 1;
        return true;
      }
    return false;
  }

private:
  int fd_;
};

bool readFixedHeader(const Reader& r, std::array<std::byte, kHeaderSize>& h) {
  if (!r.read(0, h))
    return false;
  return h[0] == std::byte{'M'} && h[1] == std::byte{'S'} && h[2] == std::byte{'C'} &&
         h[3] == std::byte{'F'} && h[kOffVersionMajor] == std::byte{1};
}

CabinetInfo infoOf(const std::array<std::byte, kHeaderSize>& h) {
  CabinetInfo info;
  info.cabinetSize = static_cast<std::int32_t>(loadLe32(&h[kOffSize]));
  info.folderCount = loadLe16(&h[kOffFolders]);
  info.fileCount = loadLe16(&h[kOffFileCount]);
  const std::uint16_t flags = loadLe16(&h[kOffFlags]);
  info.setId = loadLe16(&h[kOffSetId]);
  info.cabinetIndex = loadLe16(&h[kOffIndex]);
  info.hasReserve = (flags & kFlagReserve) != 0;
  info.hasPrevious = (flags & kFlagPrevious) != 0;
  info.hasNext = (flags & kFlagNext) != 0;
  return info;
}

// The whole header with the file table; false when any of it is missing or malformed.
bool readHeader(int fd, Header& out) {
  const Reader r(fd);
  std::array<std::byte, kHeaderSize> h{};
  if (!readFixedHeader(r, h))
    return false;
  out.info = infoOf(h);
  out.filesOffset = loadLe32(&h[kOffFiles]);
  std::uint64_t pos = kHeaderSize;
  if (out.info.hasReserve) {
    std::array<std::byte, 4> reserve{};
    if (!r.read(pos, reserve))
      return false;
    pos += 4 + loadLe16(&reserve[0]);
  }
  if (out.info.hasPrevious &&
      !(r.readString(pos, out.previousName) && r.readString(pos, out.previousDisk)))
    return false;
  if (out.info.hasNext && !(r.readString(pos, out.nextName) && r.readString(pos, out.nextDisk)))
    return false;
  pos = out.filesOffset;
  out.files.reserve(out.info.fileCount);
  for (unsigned i = 0; i < out.info.fileCount; ++i) {
    std::array<std::byte, kFileEntrySize> e{};
    FileEntry f;
    if (!r.read(pos, e))
      return false;
    pos += e.size();
    if (!r.readString(pos, f.name))
      return false;
    f.size = loadLe32(&e[0]);
    f.offset = loadLe32(&e[4]);
    f.folder = loadLe16(&e[8]);
    f.date = loadLe16(&e[10]);
    f.time = loadLe16(&e[12]);
    f.attributes = loadLe16(&e[14]);
    out.files.push_back(std::move(f));
  }
  return true;
}

// libmspack reaches files through this table. Names that start with kTargetPrefix stand for a
// target handle answered to a copy-file notification; all other names are cabinets to read.
constexpr char kTargetPrefix = '\x01';

struct MsFile {
  int fd;
  bool owned; // a cabinet opened here; targets belong to the context
};

// Asks the gate of the context whose walk runs on this thread (defined below it).
bool admitTargetWrite(std::size_t bytes);

mspack_file* msOpen(mspack_system*, const char* name, int mode) {
  if (name[0] == kTargetPrefix) {
    if (mode != MSPACK_SYS_OPEN_WRITE)
      return nullptr;
    const long long handle = std::strtoll(name + 1, nullptr, 10);
    return reinterpret_cast<mspack_file*>(new MsFile{toFd(static_cast<CabHandle>(handle)), false});
  }
  if (mode != MSPACK_SYS_OPEN_READ)
    return nullptr;
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  return reinterpret_cast<mspack_file*>(new MsFile{fd, true});
}
void msClose(mspack_file* file) {
  auto* f = reinterpret_cast<MsFile*>(file);
  if (f->owned)
    ::close(f->fd);
  delete f;
}
int msRead(mspack_file* file, void* buffer, int bytes) {
  if (bytes < 0)
    return -1;
  const ssize_t n = ::read(reinterpret_cast<MsFile*>(file)->fd, buffer, static_cast<std::size_t>(bytes));
  return static_cast<int>(n);
}
int msWrite(mspack_file* file, void* buffer, int bytes) {
  if (bytes < 0)
    return -1;
  const auto* f = reinterpret_cast<MsFile*>(file);
  // Refused by the gate, the write fails and the decoder abandons the file.
  if (!f->owned && !admitTargetWrite(static_cast<std::size_t>(bytes)))
    return -1;
  std::size_t done = 0;
  const auto* p = static_cast<const char*>(buffer);
  while (done < static_cast<std::size_t>(bytes)) {
    const ssize_t n = ::write(f->fd, p + done, static_cast<std::size_t>(bytes) - done);
    if (n <= 0)
      return done == 0 ? -1 : static_cast<int>(done);
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}
int msSeek(mspack_file* file, off_t offset, int mode) {
  const int whence = mode == MSPACK_SYS_SEEK_START ? SEEK_SET
                     : mode == MSPACK_SYS_SEEK_CUR ? SEEK_CUR
                                                   : SEEK_END;
  return ::lseek(reinterpret_cast<MsFile*>(file)->fd, offset, whence) < 0 ? -1 : 0;
}
off_t msTell(mspack_file* file) { return ::lseek(reinterpret_cast<MsFile*>(file)->fd, 0, SEEK_CUR); }
void msMessage(mspack_file*, const char*, ...) {}
void* msAlloc(mspack_system*, std::size_t bytes) { return bytes == 0 ? nullptr : std::malloc(bytes); }
void msFree(void* p) { std::free(p); }
void msCopy(void* src, void* dst, std::size_t bytes) { std::memcpy(dst, src, bytes); }

mspack_system gSystem{msOpen, msClose, msRead, msWrite, msSeek, msTell, msMessage,
                      msAlloc, msFree, msCopy, nullptr};

// One cabinet as the decoder sees it, with a decoder of its own: the decoder keeps its place in
// a folder between files, and that state must never outlive the cabinet or an error.
class MsCabinet {
public:
  explicit MsCabinet(const std::string& path)
      : d_(mspack_create_cab_decompressor(&gSystem)) {
    if (!d_)
      return;
    // A file the decoder cannot place (a folder index past the folders, a bad name) must not
    // take the cabinet's other files with it: the system library decodes those all the same.
    d_->set_param(d_, MSCABD_PARAM_SALVAGE, 1);
    cab_ = d_->open(d_, path.c_str());
  }
  ~MsCabinet() {
    if (cab_)
      d_->close(d_, cab_);
    if (d_)
      mspack_destroy_cab_decompressor(d_);
  }
  MsCabinet(const MsCabinet&) = delete;
  MsCabinet& operator=(const MsCabinet&) = delete;
  mscabd_file* files() const { return cab_ ? cab_->files : nullptr; }
  // The decoder's entry for the file at offset with length in folder index, or null. The pair
  // is exact: files of different folders may share sizes and offsets, and files of one name
  // are different files.
  mscabd_file* find(std::uint16_t folder, std::uint32_t offset, std::uint32_t length) {
    if (!cab_)
      return nullptr;
    if (byPlace_.empty()) {
      std::map<const mscabd_folder*, std::uint16_t> folderIndex;
      std::uint16_t index = 0;
      for (const mscabd_folder* f = cab_->folders; f != nullptr; f = f->next)
        folderIndex.emplace(f, index++);
      for (mscabd_file* m = cab_->files; m; m = m->next)
        if (const auto it = folderIndex.find(m->folder); it != folderIndex.end())
          byPlace_.emplace(std::make_tuple(it->second, m->offset, m->length), m);
    }
    const auto it = byPlace_.find(std::make_tuple(folder, offset, length));
    return it == byPlace_.end() ? nullptr : it->second;
  }
  bool extract(mscabd_file* file, const std::string& target) {
    return cab_ && d_->extract(d_, file, target.c_str()) == MSPACK_ERR_OK;
  }

private:
  mscab_decompressor* d_;
  mscabd_cabinet* cab_ = nullptr;
  std::map<std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>, mscabd_file*> byPlace_;
};

class PosixFdi;
// The context whose walk is running on this thread, for the decoder's write callback.
thread_local PosixFdi* tCurrent = nullptr;

class PosixFdi final : public FdiContext {
public:
  PosixFdi() = default;
  ~PosixFdi() override {
    for (const CabHandle h : open_)
      ::close(toFd(h));
  }

  CabOpenResult isCabinet(const std::string& path, CabinetInfo& info) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return CabOpenResult::CannotOpen;
    std::array<std::byte, kHeaderSize> h{};
    const bool ok = readFixedHeader(Reader(fd), h);
    ::close(fd);
    if (!ok)
      return CabOpenResult::NotCabinet;
    info = infoOf(h);
    return CabOpenResult::Cabinet;
  }

  bool copy(const std::string& cabinetName, const std::string& cabinetFolder,
            CabNotifySink& sink) override {
    PosixFdi* const outer = tCurrent;
    tCurrent = this;
    const bool ok = walk(cabinetFolder + cabinetName, sink);
    tCurrent = outer;
    for (const CabHandle h : open_)
      ::close(toFd(h));
    open_.clear();
    return ok;
  }

  CabHandle createTarget(const std::string& path) override {
    return track(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  }
  CabHandle openExisting(const std::string& path) override {
    return track(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  }
  bool closeTarget(CabHandle handle) override {
    if (open_.erase(handle) == 0)
      return false;
    return ::close(toFd(handle)) == 0;
  }

  bool admits(std::size_t bytes) const { return admitWrite(bytes); }

private:
  CabHandle track(int fd) {
    if (fd < 0)
      return kCabAbort;
    open_.insert(toHandle(fd));
    return toHandle(fd);
  }

  bool walk(const std::string& path, CabNotifySink& sink) {
    // The header and the decoder's view of the cabinet are kept for the next walk over the
    // same cabinet: members are extracted one walk each, and reading the file table again, or
    // decoding a folder again from its start, for every member would make that quadratic. The
    // decoder is opened when the first file is to be copied (a listing needs only the header,
    // as with the system library) and goes on from where it stopped in a folder.
    if (cabPath_ != path || !header_) {
      cab_.reset();
      header_.reset();
      cabPath_.clear();
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0)
        return false;
      auto fresh = std::make_unique<Header>();
      const bool ok = readHeader(fd, *fresh);
      ::close(fd);
      if (!ok)
        return false;
      header_ = std::move(fresh);
      cabPath_ = path;
    }
    const Header& header = *header_;

    CabNotification n;
    n.text1 = header.nextName;
    n.text2 = header.nextDisk;
    n.text3 = path;
    n.setId = header.info.setId;
    n.cabinetIndex = header.info.cabinetIndex;
    if (sink.notify(CabNotifyType::CabinetInfo, n) == kCabAbort)
      return false;

    bool ok = true;
    for (const FileEntry& f : header.files) {
      CabNotification fn;
      fn.text1 = f.name;
      fn.size = static_cast<std::int32_t>(f.size);
      fn.date = f.date;
      fn.time = f.time;
      fn.attributes = f.attributes;
      fn.folderIndex = f.folder;
      fn.setId = header.info.setId;
      fn.cabinetIndex = header.info.cabinetIndex;
      if (f.folder == kContinuedFromPrevious || f.folder == kContinuedPreviousAndNext) {
        fn.text2 = header.previousName;
        fn.text3 = header.previousDisk;
        if (sink.notify(CabNotifyType::PartialFile, fn) == kCabAbort)
          return false;
        continue;
      }
      const CabHandle target = sink.notify(CabNotifyType::CopyFile, fn);
      if (target == kCabAbort)
        return false;
      if (target == kCabSkip)
        continue;
      if (!cab_)
        cab_ = std::make_unique<MsCabinet>(path);
      mscabd_file* match = cab_->find(f.folder, f.offset, f.size);
      const std::string targetName = kTargetPrefix + std::to_string(target);
      if (!match || !cab_->extract(match, targetName)) {
        // The system library gives up on the whole walk at the first undecodable file; the
        // decoder starts afresh next time.
        cab_.reset();
        ok = false;
        break;
      }
      CabNotification cn = fn;
      cn.handle = target;
      cn.size = 0;
      if (sink.notify(CabNotifyType::CloseFile, cn) == kCabAbort)
        return false;
    }
    return ok;
  }

  std::set<CabHandle> open_;
  std::string cabPath_;
  std::unique_ptr<Header> header_;
  std::unique_ptr<MsCabinet> cab_;
};

bool admitTargetWrite(std::size_t bytes) { return tCurrent == nullptr || tCurrent->admits(bytes); }

} // namespace

bool bindCabinetLibrary() {
  static const bool bound = [] {
    int selftest = 0;
    MSPACK_SYS_SELFTEST(selftest);
    return selftest == MSPACK_ERR_OK;
  }();
  return bound;
}

std::unique_ptr<FdiContext> FdiContext::create() { return std::make_unique<PosixFdi>(); }

void setCabFileInfo(const std::string& path, std::uint16_t date, std::uint16_t time,
                    std::uint16_t /*attributes*/) {
  std::tm tm{};
  tm.tm_year = ((date >> 9) & 0x7F) + 80;
  tm.tm_mon = ((date >> 5) & 0x0F) - 1;
  tm.tm_mday = date & 0x1F;
  tm.tm_hour = (time >> 11) & 0x1F;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  const std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1))
    return;
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

} // namespace kyv::platform
