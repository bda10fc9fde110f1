#include "archive/lzh_reader.h"

#include <array>
#include <exception>

#include "archive/lzh_format.h"
#include "codec/checksum.h"

namespace kyv::archive {

namespace {

// Method numbers of the items: 0 stored, 4 to 7 the -lh4- to -lh7- decoders; -1 none here.
constexpr int kStored = 0;
constexpr int kNone = -1;

int methodNumber(const std::string& m) {
  if (m == "-lh0-" || m == "-lz4-")
    return kStored;
  if (m.size() == 5 && m.compare(0, 3, "-lh") == 0 && m[3] >= '4' && m[3] <= '7')
    return m[3] - '0';
  return kNone;
}

const codec::LzhFormat& formatOf(int method) {
  static constexpr std::array<const codec::LzhFormat*, 4> kFormats{
      &codec::kLzhLh4, &codec::kLzhLh5, &codec::kLzhLh6, &codec::kLzhLh7};
  return *kFormats[static_cast<std::size_t>(method - 4)];
}

} // namespace

void TAbLzhArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  const std::uint64_t fileSize = source.size();
  std::uint64_t pos = 0;
  while (MemberCount() < kMaxMembers) {
    std::optional<LzhHeader> header;
    try {
      header = readLzhHeader(source, pos);
    } catch (const std::exception& error) {
      // The first header decides whether this is an archive at all; a later damaged one ends the
      // listing with what came before.
      if (pos == 0)
        throw;
      SetListingProblem(std::string(error.what()) + " at offset " + std::to_string(pos));
      break;
    }
    if (!header)
      break;
    pos = header->dataOffset + header->compressedSize;
    if (header->method == "-lhd-")
      continue;
    auto item = std::make_unique<TAbCheckedItem>();
    item->FileName = header->name;
    item->DataOffset = header->dataOffset;
    item->UncompressedSize = header->originalSize;
    item->CRC32 = header->crc;
    item->Method = methodNumber(header->method);
    item->LastModFileTime = static_cast<std::uint16_t>(header->time);
    item->LastModFileDate = static_cast<std::uint16_t>(header->time >> 16);
    const std::uint64_t held = header->dataOffset <= fileSize ? fileSize - header->dataOffset : 0;
    item->CompressedSize = std::min(header->compressedSize, held);
    if (item->Method == kNone)
      item->Unsupported = "LZH method " + header->method + " is not supported";
    const bool cut = header->compressedSize > held;
    if (cut)
      item->Incomplete = "the archive ends inside the member";
    Items().Add(std::move(item));
    if (cut)
      break;
  }
  DoProgress(100);
}

void TAbLzhArchive::ExtractCheckedAt(int index, ByteSink& stream) {
  const TAbCheckedItem& item = Member(index);
  if (!item.Unsupported.empty())
    throw EAbException(item.Unsupported, AbCode::Unknown, ErrorKind::Unsupported);
  ByteSource& source = *Stream();
  std::uint16_t crc = 0;
  const OutputSeen seen = [&crc](std::span<const std::byte> data) {
    crc = codec::crc16Update(crc, data);
  };
  if (item.Method == kStored) {
    CopyStoredItem(item, stream, seen);
  } else {
    SubRangeSource data(source, item.DataOffset, item.CompressedSize);
    codec::LzhInput in(data, item.CompressedSize);
    auto decoder = std::make_unique<codec::LzhDecoder>();
    decoder->prepare(formatOf(item.Method));
    pumpDecoded(stream, item.UncompressedSize, lzhStep(*decoder, in), seen);
  }
  if (crc != item.CRC32)
    throw EAbException("CRC-16 mismatch", AbCode::Unknown, ErrorKind::CrcError);
}

} // namespace kyv::archive
