#include "archive/cab_reader.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include "archive/cab_format.h"
#include "archive/tar_reader.h"
#include "platform/file.h"
#include "platform/system.h"

namespace kyv::archive {

namespace {

std::size_t lastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

// Answers the cabinet library expects: 0 goes on, -1 aborts, and a close-file notice is
// acknowledged with TRUE.
constexpr platform::CabHandle kContinue = 0;
constexpr platform::CabHandle kCloseOk = 1;

} // namespace

// Collects the members as the library reports them; copies nothing.
class TAbCabArchive::ListNotify final : public platform::CabNotifySink {
public:
  explicit ListNotify(TAbCabArchive& archive) : archive_(archive) {}
  platform::CabHandle notify(platform::CabNotifyType type,
                             const platform::CabNotification& n) override {
    try {
      switch (type) {
      case platform::CabNotifyType::CabinetInfo:
        archive_.setId_ = n.setId;
        archive_.cabinetIndex_ = n.cabinetIndex;
        archive_.nextCabinet_ = std::string(n.text1);
        archive_.nextDisk_ = std::string(n.text2);
        return kContinue;
      case platform::CabNotifyType::PartialFile:
      case platform::CabNotifyType::CopyFile: {
        auto item = std::make_unique<TAbCabItem>();
        item->FileName = std::string(n.text1);
        item->UncompressedSize = static_cast<std::uint32_t>(n.size);
        item->LastModFileDate = n.date;
        item->LastModFileTime = n.time;
        item->Attributes = n.attributes;
        item->ExternalFileAttributes = n.attributes;
        item->PartialFile = type == platform::CabNotifyType::PartialFile;
        archive_.Items().Add(std::move(item));
        return kContinue;
      }
      default:
        return kContinue;
      }
    } catch (...) {
      // Nothing may unwind through the library's frames.
      return platform::kCabAbort;
    }
  }

private:
  TAbCabArchive& archive_;
};

// One walk over the cabinet that copies the wanted members, from a given index on, each into its
// target, and hands each one over on its close notification. Members are counted in the order
// the library reports them, as the listing counted them.
class TAbCabArchive::ExtractNotify final : public platform::CabNotifySink {
public:
  ExtractNotify(TAbCabArchive& archive, const std::function<bool(int)>& want, std::string target,
                const std::function<bool(int)>& delivered, int from)
      : archive_(archive), want_(want), target_(std::move(target)), delivered_(delivered),
        from_(from) {}

  platform::CabHandle notify(platform::CabNotifyType type,
                             const platform::CabNotification& n) override {
    try {
      switch (type) {
      case platform::CabNotifyType::PartialFile:
        ++seen_;
        return kContinue;
      case platform::CabNotifyType::CopyFile:
        return copyFile(seen_++, n);
      case platform::CabNotifyType::CloseFile: {
        archive_.fdi_->closeTarget(n.handle);
        platform::setCabFileInfo(path_, n.date, n.time, n.attributes);
        const int done = current_;
        current_ = -1;
        if (done >= 0 && !delivered_(done)) {
          stopped_ = true;
          return platform::kCabAbort;
        }
        return kCloseOk;
      }
      default:
        return kContinue;
      }
    } catch (...) {
      // Kept and raised again once the library has returned.
      failure_ = std::current_exception();
      return platform::kCabAbort;
    }
  }

  std::exception_ptr failure() const { return failure_; }
  // The member being written when the walk ended, or -1.
  int current() const { return current_; }
  // The caller ended the walk.
  bool stopped() const { return stopped_; }

private:
  platform::CabHandle copyFile(int index, const platform::CabNotification& n) {
    if (index < from_ || !want_(index))
      return platform::kCabSkip;
    // A file whose folder is not in the cabinet has no data to decode. Some cabinet libraries
    // read through a null folder for it, so it is refused here, before the library decodes.
    // (The three indexes from kCabContinuedFromPrevious up mark files of a neighbour cabinet.)
    if (n.folderIndex >= archive_.info_.folderCount && n.folderIndex < kCabContinuedFromPrevious)
      throw EAbFDICopyError();
    path_ = archive_.PrepareTarget(std::string(n.text1), target_);
    if (path_.empty())
      return platform::kCabSkip;
    // Made afresh: nothing of an earlier file stays behind the member's bytes.
    const platform::CabHandle h = archive_.fdi_->createTarget(path_);
    if (h == platform::kCabAbort)
      throw EAbFileCreateError(path_);
    current_ = index;
    return h;
  }

  TAbCabArchive& archive_;
  const std::function<bool(int)>& want_;
  std::string target_;
  const std::function<bool(int)>& delivered_;
  int from_;
  int seen_ = 0;
  int current_ = -1;
  bool stopped_ = false;
  std::string path_;
  std::exception_ptr failure_;
};

TAbCabArchive::TAbCabArchive(const std::string& fileName) : TAbArchive(NoStream{}, fileName) {
  const auto cut = lastSeparator(fileName);
  cabName_ = cut == std::string::npos ? fileName : fileName.substr(cut + 1);
  cabFolder_ = cut == std::string::npos ? std::string() : fileName.substr(0, cut + 1);
  // Nothing needs loading before a cabinet can be written to or listed.
  SetStatus(TAbArchiveStatus::asIdle);
}

TAbCabArchive::~TAbCabArchive() = default;

void TAbCabArchive::LoadArchiveItems() {
  if (!platform::bindCabinetLibrary())
    throw EAbNoCabinetDll();
  if (!fdi_) {
    fdi_ = platform::FdiContext::create();
    if (!fdi_)
      throw EAbFDICreateError();
  }
  switch (fdi_->isCabinet(ArchiveName(), info_)) {
  case platform::CabOpenResult::CannotOpen:
    throw EAbReadError();
  case platform::CabOpenResult::NotCabinet:
    fdi_.reset();
    throw EAbInvalidCabFile();
  case platform::CabOpenResult::Cabinet:
    break;
  }
  ListNotify list(*this);
  if (!fdi_->copy(cabName_, cabFolder_, list)) {
    fdi_.reset();
    throw EAbFDICopyError();
  }
  DoProgress(100);
}

std::string TAbCabArchive::PrepareTarget(const std::string& member, const std::string& targetPath) {
  std::string path = targetPath;
  if (path.empty()) {
    const std::string name =
        (ExtractOptions & eoRestorePath) ? member : member.substr(member.find_last_of("\\/") + 1);
    path = BaseDirectory + name;
  }
  const auto cut = path.find_last_of("\\/");
  if (cut != std::string::npos) {
    const std::string folder = path.substr(0, cut + 1);
    if (!platform::folderExists(folder)) {
      std::error_code ec;
      if (!(ExtractOptions & eoCreateDirs) || !std::filesystem::create_directories(folder, ec))
        throw EAbNoSuchDirectory();
    }
  }
  if (platform::fileExists(path) && OnConfirmOverwrite) {
    bool confirm = true;
    std::string name = path;
    OnConfirmOverwrite(name, confirm);
    if (!confirm)
      return {};
  }
  return path;
}

void TAbCabArchive::ExtractItemAt(int index, const std::string& targetPath) {
  if (MemberAt(index) == nullptr || !fdi_)
    throw EAbNoArchive();
  // The walk ends once the one member is written.
  const std::function<bool(int)> want = [index](int i) { return i == index; };
  const std::function<bool(int)> done = [](int) { return false; };
  ExtractNotify extract(*this, want, targetPath, done, index);
  fdi_->setWriteGate(WriteGate);
  const bool ok = fdi_->copy(cabName_, cabFolder_, extract);
  if (extract.failure())
    std::rethrow_exception(extract.failure());
  if (!ok && !extract.stopped())
    throw EAbFDICopyError();
}

void TAbCabArchive::ExtractMembers(const std::function<bool(int index)>& want,
                                   const std::string& targetPath,
                                   const std::function<bool(int index)>& delivered) {
  if (Status() == TAbArchiveStatus::asInvalid || !fdi_)
    throw EAbNoArchive();
  fdi_->setWriteGate(WriteGate);
  for (int from = 0;;) {
    ExtractNotify extract(*this, want, targetPath, delivered, from);
    const bool ok = fdi_->copy(cabName_, cabFolder_, extract);
    if (extract.stopped() || (ok && !extract.failure()))
      return;
    const int failed = extract.current();
    if (failed < 0) {
      // Nothing to blame but the cabinet or the target: the walk cannot go on.
      if (extract.failure())
        std::rethrow_exception(extract.failure());
      throw EAbFDICopyError();
    }
    // The member whose data failed: told, and handed over as far as it was written (the
    // library closed its file when the walk ended).
    TAbErrorClass errorClass;
    int errorCode;
    ClassifyFailure(extract.failure() ? extract.failure()
                                      : std::make_exception_ptr(EAbFDICopyError()),
                    errorClass, errorCode);
    if (OnProcessItemFailure)
      OnProcessItemFailure(*this, *MemberAt(failed), TAbProcessType::ptExtract, errorClass,
                           errorCode);
    if (!delivered(failed))
      return;
    from = failed + 1;
  }
}

void TAbCabArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  // The library writes only into files: extract into a private temporary file and copy it.
  static std::atomic<unsigned> counter{0};
  std::string folder = platform::tempFolder();
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/')
    folder += platform::pathSeparator();
  std::string path;
  for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
    const std::string candidate = folder + "kyv_cab_" + std::to_string(platform::processId()) +
                                  "_" + std::to_string(counter++) + ".tmp";
    if (platform::File::create(candidate, true))
      path = candidate;
  }
  if (path.empty())
    throw EAbFileCreateError(folder + "kyv_cab_*.tmp");
  struct Remove {
    std::string path;
    ~Remove() { platform::deleteFile(path); }
  } remove{path};
  ExtractItemAt(index, path);
  auto file = platform::FileSource::open(path);
  if (!file)
    throw EAbFileOpenError(path);
  copySourceRange(*file, 0, file->size(), stream);
}

} // namespace kyv::archive
