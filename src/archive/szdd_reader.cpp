#include "archive/szdd_reader.h"

#include <algorithm>

#include "archive/szdd_format.h"

namespace kyv::archive {

void TAbSzddArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  const CompressedFileHeader header = readCompressedFileHeader(source);
  auto item = std::make_unique<TAbCheckedItem>();
  item->FileName = originalName(header, ArchiveName());
  item->DataOffset = header.dataOffset;
  item->CompressedSize = source.size() - header.dataOffset;
  item->Method = header.method;
  sizeKnown_ = header.originalSize.has_value();
  item->UncompressedSize = header.originalSize.value_or(0);
  if (header.method > kwaj::kLzss)
    item->Unsupported = "KWAJ method " + std::to_string(header.method) + " is not supported";
  Items().Add(std::move(item));
  DoProgress(100);
}

void TAbSzddArchive::ExtractCheckedAt(int index, ByteSink& stream) {
  const TAbCheckedItem& item = Member(index);
  if (!item.Unsupported.empty())
    throw EAbException(item.Unsupported, AbCode::Unknown, ErrorKind::Unsupported);
  SubRangeSource data(*Stream(), item.DataOffset, item.CompressedSize);
  codec::InputBuffer in(data, item.CompressedSize);
  const std::uint64_t size = sizeKnown_ ? item.UncompressedSize : kSizeUnknown;
  const OutputSeen nothing = [](std::span<const std::byte>) {};
  if (item.Method == kwaj::kLzss) {
    codec::LzssDecoder decoder;
    decoder.prepare();
    pumpDecoded(stream, size, lzssStep(decoder, in), nothing);
    return;
  }
  // Stored, or stored with every byte inverted.
  const std::uint8_t mask = item.Method == kwaj::kXor ? 0xFF : 0x00;
  const DecodeStep copy = [&in, mask](std::span<std::byte> out,
                                      std::size_t& produced) -> std::string_view {
    for (produced = 0; produced < out.size(); ++produced) {
      const std::uint8_t byte = in.byteOrPad();
      if (in.overread != 0)
        return kInputEnded;
      out[produced] = std::byte(static_cast<std::uint8_t>(byte ^ mask));
    }
    return {};
  };
  pumpDecoded(stream, size, copy, nothing);
}

} // namespace kyv::archive
