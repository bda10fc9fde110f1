#include "archive/ab_archive.h"

#include "base/text.h"
#include "platform/file.h"

namespace kyv::archive {

bool TAbArchiveItem::IsDirectory() const {
  return !FileName.empty() && (FileName.back() == '/' || FileName.back() == '\\');
}

// ---- member list -------------------------------------------------------------------------------

TAbArchiveList::TAbArchiveList() { heads_.fill(-1); }

std::uint32_t TAbArchiveList::ElfHash(std::string_view name) {
  std::uint32_t h = 0;
  for (const char c : name) {
    h = (h << 4) + static_cast<unsigned char>(UpperCase1251(c));
    const std::uint32_t g = h & 0xF0000000u;
    if (g != 0)
      h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

int TAbArchiveList::Add(std::unique_ptr<TAbArchiveItem> item) {
  const int index = static_cast<int>(items_.size());
  const std::size_t bucket = ElfHash(item->FileName) % kBuckets;
  items_.push_back(std::move(item));
  next_.push_back(heads_[bucket]);
  heads_[bucket] = index;
  return index;
}

void TAbArchiveList::Clear() {
  items_.clear();
  next_.clear();
  heads_.fill(-1);
}

TAbArchiveItem* TAbArchiveList::At(int index) const {
  if (index < 0 || index >= Count())
    return nullptr;
  return items_[static_cast<std::size_t>(index)].get();
}

int TAbArchiveList::Find(std::string_view name) const {
  for (int i = heads_[ElfHash(name) % kBuckets]; i >= 0; i = next_[static_cast<std::size_t>(i)])
    if (EqualsIgnoreAsciiCase(items_[static_cast<std::size_t>(i)]->FileName, name))
      return i;
  return -1;
}

// ---- archive -----------------------------------------------------------------------------------

namespace {
std::unique_ptr<ByteSource> openArchiveFile(const std::string& fileName) {
  if (!platform::fileExists(fileName))
    throw EAbFileNotFound();
  auto file = platform::FileSource::open(fileName);
  if (!file)
    throw EAbFileOpenError(fileName);
  return file;
}
} // namespace

TAbArchive::TAbArchive(const std::string& fileName)
    : archiveName_(fileName), stream_(std::make_unique<TAbSpanStream>(openArchiveFile(fileName))) {}

TAbArchive::TAbArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : archiveName_(fileName), stream_(std::make_unique<TAbSpanStream>(std::move(stream))) {}

TAbArchive::TAbArchive(NoStream, const std::string& fileName) : archiveName_(fileName) {}

TAbArchive::~TAbArchive() = default;

void TAbArchive::LoadDirectory() {
  std::lock_guard guard(lock_);
  items_.Clear();
  try {
    LoadArchiveItems();
  } catch (...) {
    status_ = TAbArchiveStatus::asInvalid;
    throw;
  }
  status_ = TAbArchiveStatus::asIdle;
}

bool TAbArchive::DoProgress(int percent) {
  bool abort = false;
  if (OnArchiveProgress)
    OnArchiveProgress(*this, percent, abort);
  return !abort;
}

std::string TAbArchive::DoNeedPassword() {
  std::string password;
  if (OnNeedPassword)
    OnNeedPassword(*this, password);
  return password;
}

// The shared frame of both extraction calls: busy state under the lock, the confirmation hook,
// and every failure of the member caught and handed to the failure hook.
template <typename Work> void TAbArchive::RunContained(int index, Work&& work) {
  if (status_ == TAbArchiveStatus::asInvalid)
    throw EAbNoArchive();
  TAbArchiveItem* item = items_.At(index);
  if (item == nullptr)
    return;
  std::lock_guard guard(lock_);
  status_ = TAbArchiveStatus::asBusy;
  bool confirm = true;
  if (OnConfirmProcessItem)
    OnConfirmProcessItem(*this, *item, TAbProcessType::ptExtract, confirm);
  if (confirm) {
    try {
      work();
    } catch (...) {
      TAbErrorClass errorClass;
      int errorCode;
      ClassifyFailure(std::current_exception(), errorClass, errorCode);
      if (OnProcessItemFailure) {
        try {
          OnProcessItemFailure(*this, *item, TAbProcessType::ptExtract, errorClass, errorCode);
        } catch (...) {
          // A failing hook must not leave the archive busy.
          status_ = TAbArchiveStatus::asIdle;
          throw;
        }
      }
    }
  }
  // A reader may have marked itself invalid (a user abort); keep that.
  if (status_ == TAbArchiveStatus::asBusy)
    status_ = TAbArchiveStatus::asIdle;
}

void TAbArchive::ExtractMemberToStream(std::string_view name, ByteSink& stream) {
  if (status_ == TAbArchiveStatus::asInvalid)
    throw EAbNoArchive();
  const int index = FindMember(name);
  if (index < 0)
    return;
  RunContained(index, [&] { ExtractItemToStreamAt(index, stream); });
}

void TAbArchive::ExtractMemberToStreamAt(int index, ByteSink& stream) {
  if (status_ == TAbArchiveStatus::asInvalid)
    throw EAbNoArchive();
  if (index < 0 || index >= MemberCount())
    return;
  RunContained(index, [&] { ExtractItemToStreamAt(index, stream); });
}

void TAbArchive::ExtractMemberAt(int index, const std::string& targetPath) {
  RunContained(index, [&] { ExtractItemAt(index, targetPath); });
}

void TAbArchive::ExtractItemAt(int index, const std::string& targetPath) {
  auto file = platform::File::create(targetPath);
  if (!file)
    throw EAbFileCreateError(targetPath);
  try {
    platform::FileSink sink(std::move(*file));
    ExtractItemToStreamAt(index, sink);
  } catch (...) {
    platform::deleteFile(targetPath);
    throw;
  }
}

void ClassifyFailure(std::exception_ptr failure, TAbErrorClass& errorClass, int& errorCode) {
  errorClass = TAbErrorClass::ecOther;
  errorCode = 0;
  try {
    std::rethrow_exception(failure);
  } catch (const EAbException& e) {
    errorClass = TAbErrorClass::ecLibrary;
    errorCode = e.ErrorCode();
  } catch (const EAbFileCreateError&) {
    errorClass = TAbErrorClass::ecFileCreateError;
  } catch (const EAbFileOpenError&) {
    errorClass = TAbErrorClass::ecFileOpenError;
  } catch (const EAbWriteRefused&) {
    errorClass = TAbErrorClass::ecFilerError;
  } catch (const kyv::Error& e) {
    if (e.kind() == ErrorKind::Io)
      errorClass = TAbErrorClass::ecInOutError;
  } catch (...) {
  }
}

} // namespace kyv::archive
