#include "archive/gzip_reader.h"

#include <array>
#include <filesystem>
#include <system_error>

#include "archive/inflate.h"
#include "base/endian.h"
#include "platform/file.h"
#include "platform/system.h"

namespace kyv::archive {

namespace {

std::string folderOf(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}
std::string namePartOf(const std::string& path) {
  const auto cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

} // namespace

TAbGzipArchive::TAbGzipArchive(const std::string& fileName) : TAbTarArchive(fileName) {
  BaseDirectory = folderOf(platform::moduleFileName());
}

TAbGzipArchive::TAbGzipArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : TAbTarArchive(std::move(stream), fileName) {
  BaseDirectory = folderOf(platform::moduleFileName());
}

void TAbGzipArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  const std::uint64_t size = source.size();
  if (size == 0)
    return;
  // A file without the signature, or whose header runs past its end, is an archive with no
  // member rather than an error.
  auto header = readGzipHeader(source);
  if (!header)
    return;
  auto item = std::make_unique<TAbGzipItem>();
  item->FileName = header->name;
  const std::uint64_t afterHeader = header->dataOffset;
  item->CompressedSize = size >= afterHeader + kGzipTrailer ? size - afterHeader - kGzipTrailer : 0;
  // The sizes come from the last trailer of the file, even when several members are joined.
  std::array<std::byte, kGzipTrailer> trailer{};
  if (size >= kGzipTrailer && source.seek(size - kGzipTrailer) && source.readExact(trailer)) {
    item->CRC32 = loadLe32(&trailer[0]);
    item->UncompressedSize = loadLe32(&trailer[4]);
  }
  item->Header = std::move(*header);
  Items().Add(std::move(item));
  DoProgress(100);
}

TAbGzipItem& TAbGzipArchive::Member(int index) {
  auto* item = dynamic_cast<TAbGzipItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  return *item;
}

std::uint32_t TAbGzipArchive::InflateMember(TAbGzipItem& item, ByteSink& stream) {
  ByteSource& source = *Stream();
  // The header is read again: the file is the authority, not what was listed.
  auto header = readGzipHeader(source);
  if (!header)
    throw EAbGzipInvalid();
  if (!source.seek(header->dataOffset))
    throw EAbGzipInvalid();
  TAbDeflateHelper helper;
  if (dynamic_cast<TAbBitBucketStream*>(&stream))
    helper.Options |= kDfTestOnly;
  const std::uint32_t crc = Inflate(source, stream, &helper);
  item.CRC32 = crc;
  item.UncompressedSize = static_cast<std::uint64_t>(helper.NormalSize);
  return crc;
}

void TAbGzipArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  InflateMember(Member(index), stream);
}

bool TAbGzipArchive::PrepareTarget(const std::string& targetPath) {
  const std::string joined = (ExtractOptions & eoRestorePath)
                                 ? targetPath
                                 : BaseDirectory + namePartOf(targetPath);
  const std::string folder = folderOf(joined);
  if (!folder.empty() && !platform::folderExists(folder)) {
    std::error_code ec;
    if (!(ExtractOptions & eoCreateDirs) || !std::filesystem::create_directories(folder, ec))
      throw EAbNoSuchDirectory();
  }
  if (platform::fileExists(joined) && OnConfirmOverwrite) {
    std::string name = joined;
    bool confirm = true;
    OnConfirmOverwrite(name, confirm);
    return confirm;
  }
  return true;
}

void TAbGzipArchive::ExtractItemAt(int index, const std::string& targetPath) {
  TAbGzipItem& item = Member(index);
  if (!PrepareTarget(targetPath))
    return;
  auto file = platform::File::create(targetPath);
  if (!file)
    throw EAbFileCreateError(targetPath);
  try {
    platform::FileSink sink(std::move(*file));
    InflateMember(item, sink);
  } catch (...) {
    // Nothing half-written stays behind.
    platform::deleteFile(targetPath);
    throw;
  }
}

void TAbGzipArchive::TestMember(int index) {
  TAbGzipItem& item = Member(index);
  TAbBitBucketStream bucket;
  const std::uint32_t crc = InflateMember(item, bucket);
  ByteSource& source = *Stream();
  std::array<std::byte, kGzipTrailer> trailer{};
  if (source.size() < kGzipTrailer || !source.seek(source.size() - kGzipTrailer) ||
      !source.readExact(trailer))
    throw EAbGzipInvalid();
  if (crc != loadLe32(&trailer[0]))
    throw EAbGzipBadCRC();
  if ((item.UncompressedSize & 0xFFFFFFFFu) != loadLe32(&trailer[4]))
    throw EAbGzipBadFileSize();
}

} // namespace kyv::archive
