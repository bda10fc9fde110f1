#include "archive/arj_reader.h"

#include "archive/arj_format.h"
#include "base/endian.h"
#include "codec/checksum.h"

namespace kyv::archive {

namespace {

constexpr int kMethodStored = 0;
constexpr int kMethodFast = 4;

std::uint32_t le32At(const ArjHeader& h, std::size_t off) { return loadLe32(&h.basic[off]); }

} // namespace

void TAbArjArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  const std::uint64_t fileSize = source.size();
  const auto main = readArjHeader(source, 0);
  if (!main || main->end || main->byteAt(arj::kFileType) != arj::kTypeMain)
    throw EAbException("Not an ARJ archive: the main header is damaged", AbCode::Unknown,
                       ErrorKind::BadHeader);
  std::uint64_t pos = main->next;
  while (MemberCount() < kMaxMembers) {
    const auto header = readArjHeader(source, pos);
    if (!header) {
      // A damaged or cut header ends the listing; a file that simply stops where the end header
      // would be is taken as ended.
      if (pos < fileSize)
        SetListingProblem("damaged ARJ header at offset " + std::to_string(pos));
      break;
    }
    if (header->end)
      break;
    const std::uint8_t type = header->byteAt(arj::kFileType);
    const std::uint8_t flags = header->byteAt(arj::kFlags);
    const std::uint64_t packed = le32At(*header, arj::kCompressedSize);
    const std::uint64_t dataOffset = header->next;
    pos = dataOffset + packed;
    if (type != arj::kTypeBinary && type != arj::kTypeText)
      continue; // folders, volume and chapter labels, comments: nothing to scan
    auto item = std::make_unique<TAbCheckedItem>();
    item->FileName = header->name;
    item->DataOffset = dataOffset;
    item->Method = header->byteAt(arj::kMethod);
    item->UncompressedSize = le32At(*header, arj::kOriginalSize);
    item->CRC32 = le32At(*header, arj::kCrc);
    item->IsEncrypted = (flags & arj::kFlagGarbled) != 0;
    const std::uint32_t stamp = le32At(*header, arj::kTime);
    item->LastModFileTime = static_cast<std::uint16_t>(stamp);
    item->LastModFileDate = static_cast<std::uint16_t>(stamp >> 16);
    item->ExternalFileAttributes = loadLe16(&header->basic[arj::kAccessMode]);
    // What the file holds of the data: a member cut by the end of the file reads as far as it
    // goes, and the listing ends with it.
    const std::uint64_t held = dataOffset <= fileSize ? fileSize - dataOffset : 0;
    item->CompressedSize = packed <= held ? packed : held;
    if (item->Method > kMethodFast)
      item->Unsupported = "ARJ method " + std::to_string(item->Method) + " is not supported";
    else if ((flags & arj::kFlagExtFile) != 0 && item->Method != kMethodStored)
      item->Unsupported = "the member starts in a previous volume";
    if ((flags & arj::kFlagVolume) != 0)
      item->Incomplete = "the member continues in the next volume";
    else if (packed > held)
      item->Incomplete = "the archive ends inside the member";
    Items().Add(std::move(item));
    if (packed > held)
      break;
  }
  DoProgress(100);
}

void TAbArjArchive::ExtractCheckedAt(int index, ByteSink& stream) {
  const TAbCheckedItem& item = Member(index);
  if (item.IsEncrypted)
    throw EAbException("the member is garbled (encrypted)", AbCode::Unknown,
                       ErrorKind::Unsupported);
  if (!item.Unsupported.empty())
    throw EAbException(item.Unsupported, AbCode::Unknown, ErrorKind::Unsupported);
  ByteSource& source = *Stream();
  std::uint32_t crc = 0;
  const OutputSeen seen = [&crc](std::span<const std::byte> data) {
    crc = codec::crc32Update(crc, data);
  };
  if (item.Method == kMethodStored) {
    CopyStoredItem(item, stream, seen);
  } else {
    SubRangeSource data(source, item.DataOffset, item.CompressedSize);
    codec::LzhInput in(data, item.CompressedSize);
    if (item.Method == kMethodFast) {
      codec::ArjFastDecoder decoder;
      decoder.prepare();
      pumpDecoded(stream, item.UncompressedSize, arjFastStep(decoder, in), seen);
    } else {
      auto decoder = std::make_unique<codec::LzhDecoder>();
      decoder->prepare(codec::kLzhArj);
      pumpDecoded(stream, item.UncompressedSize, lzhStep(*decoder, in), seen);
    }
  }
  if (crc != item.CRC32)
    throw EAbException("CRC-32 mismatch", AbCode::Unknown, ErrorKind::CrcError);
}

} // namespace kyv::archive
