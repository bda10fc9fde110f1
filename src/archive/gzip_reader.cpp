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

std::uint32_t TAbGzipArchive::InflateMember(TAbGzipItem& item, ByteSink& stream, bool verify) {
  ByteSource& source = *Stream();
  // The header is read again: the file is the authority, not what was listed.
  auto header = readGzipHeader(source);
  if (!header)
    throw EAbGzipInvalid();
  // Every member of the file, one after another, into the one output, as gzip -d writes it.
  // Whatever follows the last member and is not a member header is left alone.
  std::uint64_t produced = 0;
  std::uint32_t crc = 0;
  int members = 0;
  while (header) {
    ++members;
    if (!source.seek(header->dataOffset))
      throw EAbGzipInvalid();
    TAbDeflateHelper helper;
    if (dynamic_cast<TAbBitBucketStream*>(&stream))
      helper.Options |= kDfTestOnly;
    crc = Inflate(source, stream, &helper);
    const auto size = static_cast<std::uint64_t>(helper.NormalSize);
    produced += size;
    std::array<std::byte, kGzipTrailer> trailer{};
    const bool haveTrailer = source.readExact(trailer);
    if (verify) {
      if (!haveTrailer)
        throw EAbGzipInvalid();
      if (crc != loadLe32(&trailer[0]))
        throw EAbGzipBadCRC();
      if ((size & 0xFFFFFFFFu) != loadLe32(&trailer[4]))
        throw EAbGzipBadFileSize();
    }
    if (!haveTrailer)
      break;
    header = readGzipHeader(source, source.position());
  }
  // With several members no one CRC-32 stands for the whole output; the listed one stays.
  if (members == 1)
    item.CRC32 = crc;
  item.UncompressedSize = produced;
  return crc;
}

void TAbGzipArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  InflateMember(Member(index), stream, false);
}

bool TAbGzipArchive::PrepareTarget(const std::string& targetPath) {
  const std::string joined =
      (ExtractOptions & eoRestorePath) ? targetPath : BaseDirectory + namePartOf(targetPath);
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
    InflateMember(item, sink, false);
  } catch (...) {
    // Nothing half-written stays behind.
    platform::deleteFile(targetPath);
    throw;
  }
}

void TAbGzipArchive::TestMember(int index) {
  TAbBitBucketStream bucket;
  InflateMember(Member(index), bucket, true);
}

} // namespace kyv::archive
