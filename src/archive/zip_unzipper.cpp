#include "archive/zip_unzipper.h"

#include <array>

#include "archive/gzip_format.h"
#include "archive/gzip_reader.h"
#include "archive/inflate.h"
#include "archive/tar_format.h"
#include "archive/tar_reader.h"
#include "base/endian.h"
#include "base/text.h"
#include "platform/file.h"

namespace kyv::archive {

TAbBaseBrowser::TAbBaseBrowser() = default;
TAbBaseBrowser::~TAbBaseBrowser() = default;

namespace {

std::string upperExtension(const std::string& fileName) {
  const std::size_t dot = fileName.find_last_of('.');
  const std::size_t slash = fileName.find_last_of("/\\");
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return {};
  return UpperCase1251(std::string_view(fileName).substr(dot));
}

// Whether a GZIP file's decompressed start looks like a TAR archive.
bool gzipHoldsTar(ByteSource& source) {
  try {
    if (!readGzipHeader(source))
      return false;
    TAbDeflateHelper helper;
    helper.PartialSize = 512;
    VectorSink start(64 * 1024);
    Inflate(source, start, &helper);
    MemorySource decompressed(start.bytes());
    return VerifyTar(decompressed) == static_cast<int>(TAbArchiveType::atTar);
  } catch (const std::exception&) {
    return false;
  }
}

} // namespace

TAbArchiveType TAbBaseBrowser::DetectArchiveType(const std::string& fileName) {
  using enum TAbArchiveType;
  auto source = platform::FileSource::open(fileName);
  if (!source)
    return atUnknown;
  std::array<std::byte, 4> head{};
  const bool haveHead = source->readExact(head);
  const std::string ext = upperExtension(fileName);
  if (ext == ".ZIP" || ext == ".JAR" || ext == ".EXE") {
    TAbZipArchive probe(std::move(source), fileName);
    const bool hasTail = probe.FindDirectoryTail() >= 0;
    if (ext == ".EXE")
      return haveHead && head[0] == std::byte{'M'} && head[1] == std::byte{'Z'} && hasTail
                 ? atSelfExtZip
                 : atUnknown;
    if (hasTail)
      return atZip;
    const std::uint32_t signature = haveHead ? loadLe32(head.data()) : 0;
    return signature == zipsig::kSpanningMarker || signature == zipsig::kSplitMarker ? atSpannedZip
                                                                                     : atUnknown;
  }
  if (ext == ".TAR")
    return VerifyTar(*source) == static_cast<int>(atTar) ? atTar : atUnknown;
  if (ext == ".GZ" || ext == ".TGZ") {
    if (!haveHead || !isGzipSignature(head))
      return atUnknown;
    source->seek(0);
    return gzipHoldsTar(*source) ? atGzippedTar : atGzip;
  }
  // Cabinets are read through the cabinet library, which this front end does not drive.
  return atUnknown;
}

void TAbBaseBrowser::CloseArchive() {
  try {
    archive_.reset();
  } catch (...) {
    // Closing errors are of no interest to whoever opens the next file.
  }
}

void TAbBaseBrowser::OpenArchive(const std::string& fileName) {
  if (!fileName.empty()) {
    if (!platform::fileExists(fileName))
      throw EAbFileNotFound();
    auto probe = platform::FileSource::open(fileName);
    if (!probe)
      throw EAbFileOpenError(fileName);
    if (probe->size() == 0)
      throw EAbBadStream();
  }
  CloseArchive();
  FileName = fileName;

  const TAbArchiveType type = ForceType ? ArchiveType : DetectArchiveType(fileName);
  std::unique_ptr<TAbArchive> archive;
  switch (type) {
  case TAbArchiveType::atZip:
  case TAbArchiveType::atSpannedZip:
  case TAbArchiveType::atSelfExtZip:
    archive = std::make_unique<TAbZipArchive>(fileName);
    break;
  case TAbArchiveType::atTar:
    archive = std::make_unique<TAbTarArchive>(fileName);
    break;
  case TAbArchiveType::atGzip:
  case TAbArchiveType::atGzippedTar:
    archive = std::make_unique<TAbGzipArchive>(fileName);
    break;
  default:
    throw EAbUnhandledType();
  }
  archive->Password = Password;
  archive->PasswordRetries = PasswordRetries;
  archive->ExtractOptions = ExtractOptions;
  archive->TempDirectory = TempDirectory;
  if (!BaseDirectory.empty())
    archive->BaseDirectory = BaseDirectory;
  archive->OnConfirmProcessItem = OnConfirmProcessItem;
  archive->OnProcessItemFailure = OnProcessItemFailure;
  archive->OnNeedPassword = OnNeedPassword;
  archive->OnArchiveProgress = OnArchiveProgress;
  archive->OnRequestLastDisk = OnRequestLastDisk;
  archive->OnConfirmOverwrite = OnConfirmOverwrite;
  archive->LoadDirectory();
  archive_ = std::move(archive);
  ArchiveType = type;
  if (OnChange)
    OnChange(*this);
}

TAbZipItem* TAbCustomZipBrowser::ZipItemAt(int index) const {
  return dynamic_cast<TAbZipItem*>(MemberAt(index));
}

void TAbCustomUnZipper::ExtractMemberToStream(std::string_view name, ByteSink& stream) {
  if (!archive_)
    throw EAbNoArchive();
  archive_->ExtractMemberToStream(name, stream);
}

void TAbCustomUnZipper::ExtractMemberToStreamAt(int index, ByteSink& stream) {
  if (!archive_)
    throw EAbNoArchive();
  archive_->ExtractMemberToStreamAt(index, stream);
}

void TAbCustomUnZipper::ExtractMemberAt(int index, const std::string& targetPath) {
  if (!archive_)
    throw EAbNoArchive();
  archive_->ExtractMemberAt(index, targetPath);
}

} // namespace kyv::archive
