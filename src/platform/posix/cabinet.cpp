// The cabinet interface without the Windows library: the cabinet's header and file table are read
// by the shared cabinet header parser (so names and the continued-from flags come as stored, bytes
// unchanged, as the system library reports them), and libmspack decodes the data of each file
// that is copied. What is left here adapts both to the library's interface.
#include "platform/cabinet.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mspack.h>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/cab_format.h"
#include "platform/file.h"

namespace kyv::platform {

namespace {

// Handles of this side are file descriptors plus one, so that no handle is 0 ("skip").
CabHandle toHandle(int fd) { return static_cast<CabHandle>(fd) + 1; }
int toFd(CabHandle h) { return static_cast<int>(h - 1); }

// The header and file table come from the system's one cabinet header parser, which the archive
// reader's format unit keeps header-only so that this layer below it can use it too.
std::optional<archive::CabDirectory> readDirectory(const std::string& path) {
  const auto source = FileSource::open(path);
  if (!source)
    return std::nullopt;
  return archive::readCabDirectory(*source);
}

CabinetInfo infoOf(const archive::CabHeader& h) {
  CabinetInfo info;
  info.cabinetSize = static_cast<std::int32_t>(h.cabinetSize);
  info.folderCount = h.folderCount;
  info.fileCount = h.fileCount;
  info.setId = h.setId;
  info.cabinetIndex = h.cabinetIndex;
  info.hasReserve = h.hasReserve();
  info.hasPrevious = h.hasPrevious();
  info.hasNext = h.hasNext();
  return info;
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
  const ssize_t n =
      ::read(reinterpret_cast<MsFile*>(file)->fd, buffer, static_cast<std::size_t>(bytes));
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
off_t msTell(mspack_file* file) {
  return ::lseek(reinterpret_cast<MsFile*>(file)->fd, 0, SEEK_CUR);
}
void msMessage(mspack_file*, const char*, ...) {}
void* msAlloc(mspack_system*, std::size_t bytes) {
  return bytes == 0 ? nullptr : std::malloc(bytes);
}
void msFree(void* p) { std::free(p); }
void msCopy(void* src, void* dst, std::size_t bytes) { std::memcpy(dst, src, bytes); }

mspack_system gSystem{msOpen,    msClose, msRead, msWrite, msSeek, msTell,
                      msMessage, msAlloc, msFree, msCopy,  nullptr};

// One cabinet as the decoder sees it, with a decoder of its own: the decoder keeps its place in
// a folder between files, and that state must never outlive the cabinet or an error.
class MsCabinet {
public:
  explicit MsCabinet(const std::string& path) : d_(mspack_create_cab_decompressor(&gSystem)) {
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
    const auto source = FileSource::open(path);
    if (!source)
      return CabOpenResult::CannotOpen;
    const auto header = archive::readCabHeader(*source);
    if (!header)
      return CabOpenResult::NotCabinet;
    info = infoOf(*header);
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
    if (cabPath_ != path || !directory_) {
      cab_.reset();
      directory_.reset();
      cabPath_.clear();
      auto fresh = readDirectory(path);
      if (!fresh)
        return false;
      directory_ = std::make_unique<archive::CabDirectory>(std::move(*fresh));
      cabPath_ = path;
    }
    const archive::CabHeader& header = directory_->header;

    CabNotification n;
    n.text1 = header.nextName;
    n.text2 = header.nextDisk;
    n.text3 = path;
    n.setId = header.setId;
    n.cabinetIndex = header.cabinetIndex;
    if (sink.notify(CabNotifyType::CabinetInfo, n) == kCabAbort)
      return false;

    bool ok = true;
    for (const archive::CabFileEntry& f : directory_->files) {
      CabNotification fn;
      fn.text1 = f.name;
      fn.size = static_cast<std::int32_t>(f.size);
      fn.date = f.date;
      fn.time = f.time;
      fn.attributes = f.attributes;
      fn.folderIndex = f.folder;
      fn.setId = header.setId;
      fn.cabinetIndex = header.cabinetIndex;
      if (f.continuedFromPrevious()) {
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
  std::unique_ptr<archive::CabDirectory> directory_;
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
