#include "archive/cab_reader.h"

#include <atomic>
#include <filesystem>
#include <system_error>

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
// Folder indexes from here up mark files continued from or into a neighbouring cabinet.
constexpr std::uint16_t kFirstContinuedFolder = 0xFFFD;

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

// Copies every file of the cabinet whose name is the member in progress into the target.
class TAbCabArchive::ExtractNotify final : public platform::CabNotifySink {
public:
  ExtractNotify(TAbCabArchive& archive, std::string member, std::string target)
      : archive_(archive), member_(std::move(member)), target_(std::move(target)) {}

  platform::CabHandle notify(platform::CabNotifyType type,
                             const platform::CabNotification& n) override {
    try {
      switch (type) {
      case platform::CabNotifyType::CopyFile:
        return copyFile(n);
      case platform::CabNotifyType::CloseFile:
        archive_.fdi_->closeTarget(n.handle);
        platform::setCabFileInfo(path_, n.date, n.time, n.attributes);
        return kCloseOk;
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

private:
  platform::CabHandle copyFile(const platform::CabNotification& n) {
    if (n.text1 != member_)
      return platform::kCabSkip;
    // A file whose folder is not in the cabinet has no data to decode. Some cabinet libraries
    // read through a null folder for it, so it is refused here, before the library decodes.
    if (n.folderIndex >= archive_.info_.folderCount && n.folderIndex < kFirstContinuedFolder)
      throw EAbFDICopyError();
    path_ = target_;
    if (path_.empty()) {
      const std::string name = (archive_.ExtractOptions & eoRestorePath)
                                   ? member_
                                   : member_.substr(member_.find_last_of("\\/") + 1);
      path_ = archive_.BaseDirectory + name;
    }
    const auto cut = path_.find_last_of("\\/");
    if (cut != std::string::npos) {
      const std::string folder = path_.substr(0, cut + 1);
      if (!platform::folderExists(folder)) {
        std::error_code ec;
        if (!(archive_.ExtractOptions & eoCreateDirs) ||
            !std::filesystem::create_directories(folder, ec))
          throw EAbNoSuchDirectory();
      }
    }
    platform::CabHandle h;
    if (platform::fileExists(path_)) {
      bool confirm = true;
      if (archive_.OnConfirmOverwrite) {
        std::string name = path_;
        archive_.OnConfirmOverwrite(name, confirm);
      }
      if (!confirm)
        return platform::kCabSkip;
      h = archive_.fdi_->openExisting(path_);
    } else {
      h = archive_.fdi_->createTarget(path_);
    }
    if (h == platform::kCabAbort)
      throw EAbFileCreateError(path_);
    return h;
  }

  TAbCabArchive& archive_;
  std::string member_;
  std::string target_;
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

void TAbCabArchive::ExtractItemAt(int index, const std::string& targetPath) {
  const TAbArchiveItem* item = MemberAt(index);
  if (item == nullptr || !fdi_)
    throw EAbNoArchive();
  ExtractNotify extract(*this, item->FileName, targetPath);
  const bool ok = fdi_->copy(cabName_, cabFolder_, extract);
  if (extract.failure())
    std::rethrow_exception(extract.failure());
  if (!ok)
    throw EAbFDICopyError();
}

void TAbCabArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  // The library writes only into files: extract into a private temporary file and copy it.
  static std::atomic<unsigned> counter{0};
  std::string folder = platform::tempFolder();
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/')
    folder += platform::pathSeparator();
  std::string path;
  for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
    const std::string candidate = folder + "kyv_cab_" + std::to_string(platform::processId()) + "_" +
                                  std::to_string(counter++) + ".tmp";
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
