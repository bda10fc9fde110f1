#include "archive/zip_archive.h"
#include "archive/zip_lzma.h"

#include <algorithm>
#include <array>
#include <vector>

#include "codec/bzip2.h"
#include "codec/checksum.h"
#include "archive/inflate.h"
#include "archive/unzip_legacy.h"
#include "base/endian.h"
#include "platform/system.h"
#include "platform/volume.h"

namespace kyv::archive {

TAbZipItem::TAbZipItem(TAbZipDirectoryFileHeader header, std::string name)
    : header_(std::move(header)) {
  FileName = std::move(name);
  CompressedSize = header_.CompressedSize;
  UncompressedSize = header_.UncompressedSize;
  CRC32 = header_.CRC32;
  IsEncrypted = (header_.GeneralPurposeBitFlag & kZipFlagEncrypted) != 0;
  LastModFileTime = header_.LastModFileTime;
  LastModFileDate = header_.LastModFileDate;
  ExternalFileAttributes = header_.ExternalFileAttributes;
  // Fields too small for their value hold all ones; the value is in the ZIP64 extra block.
  Zip64Values values{header_.UncompressedSize, header_.CompressedSize, header_.RelativeOffset,
                     header_.DiskNumberStart};
  applyZip64Extra(header_.ExtraField, header_.UncompressedSize == kZip64Escape32,
                  header_.CompressedSize == kZip64Escape32,
                  header_.RelativeOffset == kZip64Escape32,
                  header_.DiskNumberStart == kZip64Escape16, values);
  UncompressedSize = values.UncompressedSize;
  CompressedSize = values.CompressedSize;
  relativeOffset_ = values.RelativeOffset;
  diskNumberStart_ = values.DiskNumberStart;
}

TAbZipArchive::TAbZipArchive(const std::string& fileName) : TAbArchive(fileName) {}

TAbZipArchive::TAbZipArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : TAbArchive(std::move(stream), fileName) {}

// ---- finding the end record
// ----------------------------------------------------------------------

namespace {
constexpr std::uint64_t kFirstWindow = 512;
constexpr std::uint64_t kMaxWindow = 64 * 1024;

bool readAt(ByteSource& s, std::uint64_t offset, std::span<std::byte> out) {
  return s.seek(offset) && s.readExact(out);
}

std::size_t readUpTo(ByteSource& s, std::span<std::byte> out) {
  std::size_t got = 0;
  while (got < out.size()) {
    const std::size_t n = s.read(out.subspan(got));
    if (n == 0)
      break;
    got += n;
  }
  return got;
}
} // namespace

std::int64_t TAbZipArchive::FindDirectoryTail() {
  ByteSource& s = *Stream();
  const std::uint64_t size = s.size();
  const std::uint64_t start = s.position();
  if (size < kZipEndRecordSize) {
    s.seek(start);
    return -1;
  }

  // Most archives have no comment: the record is the last 22 bytes.
  std::array<std::byte, kZipEndRecordSize> last{};
  if (readAt(s, size - kZipEndRecordSize, last) &&
      loadLe32(last.data()) == zipsig::kEndOfCentralDirectory && loadLe16(last.data() + 20) == 0) {
    s.seek(size - kZipEndRecordSize);
    return static_cast<std::int64_t>(size - kZipEndRecordSize);
  }

  // Otherwise search backwards in growing windows. Each next window ends 21 bytes past the start
  // of the previous one, so that every position whose 22-byte record was cut by the window
  // boundary is looked at again; no position is skipped.
  std::vector<std::byte> window;
  std::uint64_t windowSize = std::min(kFirstWindow, size);
  std::uint64_t windowEnd = size;
  for (;;) {
    const std::uint64_t windowStart = windowEnd > windowSize ? windowEnd - windowSize : 0;
    const auto length = static_cast<std::size_t>(windowEnd - windowStart);
    window.resize(length);
    if (!s.seek(windowStart))
      break;
    const std::size_t got = readUpTo(s, window);
    if (got < kZipEndRecordSize)
      break;
    for (std::size_t pos = got - kZipEndRecordSize + 1; pos-- > 0;) {
      const std::byte* p = window.data() + pos;
      if (loadLe32(p) != zipsig::kEndOfCentralDirectory)
        continue;
      const std::uint64_t recordEnd = windowStart + pos + kZipEndRecordSize;
      if (size - recordEnd >= loadLe16(p + 20)) {
        s.seek(windowStart + pos);
        return static_cast<std::int64_t>(windowStart + pos);
      }
    }
    if (windowStart == 0)
      break;
    windowEnd = windowStart + kZipEndRecordSize - 1;
    windowSize = std::min({windowSize * 2, kMaxWindow, size});
  }
  s.seek(start);
  return -1;
}

// ---- loading the central directory
// ---------------------------------------------------------------

bool TAbZipArchive::StartsDirectory(std::uint64_t offset, std::uint64_t directoryEnd) {
  if (offset == directoryEnd)
    return true; // an empty directory
  std::array<std::byte, 4> signature{};
  return offset < directoryEnd && readAt(*Stream(), offset, signature) &&
         loadLe32(signature.data()) == zipsig::kCentralFileHeader;
}

std::optional<std::uint64_t> TAbZipArchive::ReadZip64Footer(std::uint64_t tail) {
  ByteSource& s = *Stream();
  if (tail < kZip64LocatorSize)
    return std::nullopt;
  const std::uint64_t locatorAt = tail - kZip64LocatorSize;
  std::array<std::byte, kZip64LocatorSize> locatorBytes{};
  if (!readAt(s, locatorAt, locatorBytes))
    return std::nullopt;
  const auto locator = TAbZip64Locator::Parse(locatorBytes);
  if (!locator)
    return std::nullopt;
  // The locator's offset first; where it is off (data put in front of the archive), the record
  // that writers place right before the locator.
  const std::uint64_t candidates[] = {locator->RecordOffset, locatorAt >= kZip64EndRecordSize
                                                                 ? locatorAt - kZip64EndRecordSize
                                                                 : UINT64_MAX};
  for (const std::uint64_t at : candidates) {
    if (at > locatorAt || locatorAt - at < kZip64EndRecordSize)
      continue;
    std::array<std::byte, kZip64EndRecordSize> record{};
    if (!readAt(s, at, record))
      continue;
    if (auto footer = TAbZip64DirectoryFileFooter::Parse(record)) {
      footer64_ = footer;
      return at;
    }
  }
  return std::nullopt;
}

void TAbZipArchive::LoadArchiveItems() {
  ByteSource& s = *Stream();
  isExecutable_ = false;
  spanned_ = false;
  stubSize_ = 0;
  footer_ = {};
  footer64_.reset();
  const std::uint64_t size = s.size();
  if (size == 0)
    return;

  std::array<std::byte, 4> head{};
  const bool haveHead = readAt(s, 0, head);
  isExecutable_ = haveHead && head[0] == std::byte{'M'} && head[1] == std::byte{'Z'};
  const std::uint32_t signature = haveHead ? loadLe32(head.data()) : 0;
  const bool startsWithMarker =
      signature == zipsig::kSpanningMarker || signature == zipsig::kSplitMarker;

  std::int64_t tail = -1;
  if (startsWithMarker && platform::isRemovableDrive(ArchiveName())) {
    // The first disk of a set on a floppy: the directory is on the last disk.
    const bool startsWithPK = head[0] == std::byte{'P'} && head[1] == std::byte{'K'};
    if (!startsWithPK)
      throw EAbZipInvalid();
    for (;;) {
      bool abort = false;
      if (OnRequestLastDisk)
        OnRequestLastDisk(*this, abort);
      else
        abort = !platform::askOkCancel(std::string(abErrorText(AbCode::InsertLastDisk)),
                                       std::string(abErrorText(AbCode::InsertFloppy)));
      if (abort)
        return;
      tail = FindDirectoryTail();
      if (tail >= 0)
        break;
    }
  } else {
    tail = FindDirectoryTail();
    if (tail < 0)
      throw EAbZipInvalid();
  }

  const auto tailPos = static_cast<std::uint64_t>(tail);
  std::array<std::byte, kZipEndRecordSize> endRecord{};
  if (!readAt(s, tailPos, endRecord))
    throw EAbZipInvalid();
  const auto footer = TAbZipDirectoryFileFooter::Parse(endRecord);
  if (!footer)
    throw EAbZipInvalid();
  footer_ = *footer;
  {
    // The comment as far as the file holds it.
    const std::uint64_t room = size - tailPos - kZipEndRecordSize;
    std::string comment(
        static_cast<std::size_t>(std::min<std::uint64_t>(room, footer_.ZipfileCommentLength)),
        '\0');
    if (!s.readExact(std::as_writable_bytes(std::span(comment))))
      comment.clear();
    footer_.ZipfileComment = std::move(comment);
  }
  spanned_ = footer_.DiskNumber != 0 && footer_.DiskNumber != kZip64Escape16;

  // A ZIP64 archive keeps its directory's place and entry count in the ZIP64 end record, which
  // stands between the directory and the end record; its directory ends there.
  std::uint64_t directoryOffset = footer_.DirectoryOffset;
  std::uint64_t directoryEnd = tailPos;
  std::uint64_t total = footer_.TotalEntries;
  if (const auto zip64At = ReadZip64Footer(tailPos)) {
    directoryOffset = footer64_->DirectoryOffset;
    directoryEnd = *zip64At;
    total = footer64_->TotalEntries;
    spanned_ = spanned_ || footer64_->DiskNumber != 0;
  }

  // Writers that stream their output (Info-ZIP's -fz into a pipe) may leave the directory's
  // offset escaped with no ZIP64 record to hold it. The directory then ends where the end
  // records begin, and its size says where it starts.
  const std::uint64_t directorySize =
      footer64_ ? footer64_->DirectorySize : std::uint64_t{footer_.DirectorySize};
  if (!footer64_ && footer_.DirectoryOffset == kZip64Escape32 && directorySize <= directoryEnd &&
      StartsDirectory(directoryEnd - directorySize, directoryEnd))
    directoryOffset = directoryEnd - directorySize;

  // Walk the records from the directory offset to the end of the directory. The position grows
  // with every record and no read leaves the file, so the walk ends whatever the counts say.
  if (!s.seek(directoryOffset))
    throw EAbZipInvalid();
  const bool convertNames = platform::fileApisAreAnsi();
  std::uint64_t smallestOffset = UINT64_MAX;
  std::uint64_t count = 0;
  while (s.position() != directoryEnd) {
    std::array<std::byte, kZipCentralHeaderSize> fixed{};
    if (!s.readExact(fixed))
      throw EAbZipInvalid();
    auto header = TAbZipDirectoryFileHeader::Parse(fixed);
    if (!header)
      throw EAbZipInvalid();
    std::string variable(header->VariableLength(), '\0');
    if (!s.readExact(std::as_writable_bytes(std::span(variable))))
      throw EAbZipInvalid();
    header->FileName = variable.substr(0, header->FileNameLength);
    header->ExtraField = variable.substr(header->FileNameLength, header->ExtraFieldLength);
    header->FileComment =
        variable.substr(std::size_t{header->FileNameLength} + header->ExtraFieldLength);

    // Names written on MS-DOS hosts are in the OEM code page.
    std::string name = header->FileName;
    if ((header->VersionMadeBy >> 8) == 0 && convertNames)
      name = platform::oemToAnsi(name);
    auto item = std::make_unique<TAbZipItem>(std::move(*header), std::move(name));
    smallestOffset = std::min(smallestOffset, item->RelativeOffset());
    Items().Add(std::move(item));
    ++count;
    if (total != 0 &&
        !DoProgress(static_cast<int>(std::min<std::uint64_t>(count, total) * 100 / total)))
      throw EAbUserAbort();
  }
  if (isExecutable_ && count > 0)
    stubSize_ = smallestOffset;
}

// ---- extracting one member
// -----------------------------------------------------------------------

namespace {

// Copies the stored bytes in chunks of at most 1024.
std::uint32_t copyStored(ByteSource& in, ByteSink& out, std::uint64_t size) {
  std::array<std::byte, 1024> buffer{};
  std::uint32_t crc = 0;
  while (size > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size));
    const std::size_t got = in.read(std::span(buffer).first(want));
    if (got == 0)
      throw EAbReadError();
    const auto piece = std::span<const std::byte>(buffer).first(got);
    crc = codec::crc32Update(crc, piece);
    if (!out.write(piece))
      throw EAbWriteRefused();
    size -= got;
  }
  return crc;
}

// Passes the output on with its CRC-32.
class CrcSink final : public ByteSink {
public:
  explicit CrcSink(ByteSink& inner) : inner_(inner) {}
  bool write(std::span<const std::byte> data) override {
    crc_ = codec::crc32Update(crc_, data);
    return inner_.write(data);
  }
  std::uint32_t crc() const { return crc_; }

private:
  ByteSink& inner_;
  std::uint32_t crc_ = 0;
};

// Method 12. The member's CRC-32 is the check that counts, so a failed block check of the
// stream itself is left to it; damage stops the member after what was decoded before it.
std::uint32_t unBzip2(ByteSource& in, ByteSink& out) {
  CrcSink sink(out);
  const codec::Bzip2Result r = codec::bzip2DecodeAll(in, sink);
  if (r.writeRefused)
    throw EAbWriteRefused();
  if (r.status != codec::Bzip2Status::StreamEnd && !codec::bzip2Recoverable(r.status))
    throw EAbException(std::string("bzip2: ") + codec::bzip2StatusText(r.status), AbCode::Unknown,
                       ErrorKind::DataError);
  return sink.crc();
}

} // namespace

std::string TAbZipArchive::ObtainPassword(ByteSource& data, std::uint32_t checkValue) {
  std::string password = Password;
  if (password.empty()) {
    password = DoNeedPassword();
    if (password.empty())
      throw EAbZipInvalidPassword();
  }
  for (int attempt = 0;; ++attempt) {
    PkwareKeys keys(password);
    data.seek(0);
    if (CheckEncryptionHeader(data, keys, checkValue))
      break;
    if (attempt >= PasswordRetries || !OnNeedPassword)
      throw EAbZipInvalidPassword();
    password = DoNeedPassword();
    if (password.empty())
      throw EAbUserAbort();
  }
  Password = password;
  return password;
}

void TAbZipArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  TAbZipItem& item = *ZipItemAt(index);
  const unsigned versionLimit = item.CompressionMethod() == cmLzma    ? kZipLzmaVersionNeeded
                                : item.CompressionMethod() == cmBzip2 ? kZipBzip2VersionNeeded
                                                                      : kZipMaxVersionNeeded;
  if ((item.VersionNeededToExtract() & 0xFF) > versionLimit)
    throw EAbZipVersion();

  ByteSource& s = *Stream();
  std::array<std::byte, kZipLocalHeaderSize> fixed{};
  if (!readAt(s, item.RelativeOffset(), fixed))
    throw EAbZipInvalid();
  const auto local = TAbZipLocalFileHeader::Parse(fixed);
  if (!local)
    throw EAbZipInvalid();
  // Sizes and CRC-32 come from the central directory; the local header only places the data.
  const std::uint64_t dataStart =
      item.RelativeOffset() + kZipLocalHeaderSize + local->FileNameLength + local->ExtraFieldLength;
  if (dataStart > s.size())
    throw EAbReadError();
  SubRangeSource data(s, dataStart, item.CompressedSize);
  const std::uint32_t checkValue = (local->GeneralPurposeBitFlag & kZipFlagDataDescriptor) != 0
                                       ? std::uint32_t{local->LastModFileTime} << 16
                                       : item.CRC32;
  const auto method = static_cast<std::uint8_t>(local->CompressionMethod);
  switch (method) {
  case cmStored:
  case cmShrunk:
  case cmReduced1:
  case cmReduced2:
  case cmReduced3:
  case cmReduced4:
  case cmImploded:
  case cmDeflated:
  case cmEnhancedDeflated:
  case cmLzma:
  case cmBzip2:
    break;
  default:
    throw EAbZipInvalidMethod();
  }

  // Decryption wraps the data after its 12-byte header; the header is not counted as data.
  ByteSource* input = &data;
  std::unique_ptr<TAbZDecoder> decoder;
  std::uint64_t compressedLeft = item.CompressedSize;
  if (item.IsEncrypted) {
    const std::string password = ObtainPassword(data, checkValue);
    PkwareKeys keys(password);
    data.seek(0);
    CheckEncryptionHeader(data, keys, checkValue);
    decoder = std::make_unique<TAbZDecoder>(data, keys);
    input = decoder.get();
    compressedLeft =
        compressedLeft > kZipEncryptionHeaderSize ? compressedLeft - kZipEncryptionHeaderSize : 0;
  }

  std::uint32_t crc = 0;
  switch (method) {
  case cmStored:
    crc = copyStored(*input, stream, item.UncompressedSize);
    break;
  case cmDeflated:
  case cmEnhancedDeflated: {
    TAbDeflateHelper helper;
    helper.StreamSize = static_cast<std::int64_t>(compressedLeft);
    if (method == cmEnhancedDeflated)
      helper.Options |= kDfDeflate64;
    if (dynamic_cast<TAbBitBucketStream*>(&stream) != nullptr)
      helper.Options |= kDfTestOnly;
    crc = Inflate(*input, stream, &helper);
    break;
  }
  case cmLzma:
    crc = UnzipLzma(*input, stream, compressedLeft, item.UncompressedSize);
    break;
  case cmBzip2:
    crc = unBzip2(*input, stream);
    break;
  default:
    crc = TAbUnzipHelper(*input, stream, compressedLeft, item.UncompressedSize, method,
                         local->GeneralPurposeBitFlag)
              .Execute();
    break;
  }

  if (crc != checkValue && crc != item.CRC32) {
    // A damaged member stays written in full; only an archive without a failure hook raises.
    if (OnProcessItemFailure)
      OnProcessItemFailure(*this, item, TAbProcessType::ptExtract, TAbErrorClass::ecLibrary,
                           AbCode::ZipBadCRC);
    else
      throw EAbZipBadCRC();
  }
}

} // namespace kyv::archive
