#include "archive/tar_reader.h"

#include <array>
#include <vector>

namespace kyv::archive {

TAbTarItem::TAbTarItem(const TarHeaderBytes& header, std::uint64_t headerOffset)
    : Header(header), HeaderOffset(headerOffset) {
  // The name field only: the ustar prefix and GNU long names are not used.
  FileName = tarText(header, TarField::NameOff, TarField::NameLen);
  UncompressedSize = tarSize(header);
  CompressedSize = UncompressedSize;
}

TAbTarArchive::TAbTarArchive(const std::string& fileName) : TAbArchive(fileName) {}

TAbTarArchive::TAbTarArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : TAbArchive(std::move(stream), fileName) {}

void TAbTarArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  try {
    // One walk to count, for progress; a second to list.
    TAbTarStreamHelper counter(source);
    int total = 0;
    for (bool found = counter.FirstRegularEntry(); found && total < kMaxMembers;
         found = counter.NextRegularEntry())
      ++total;

    TAbTarStreamHelper walker(source);
    int count = 0;
    for (bool found = walker.FirstRegularEntry();
         found && walker.headerOffset() < source.size() && count < kMaxMembers;
         found = walker.NextRegularEntry()) {
      Items().Add(std::make_unique<TAbTarItem>(walker.header(), walker.headerOffset()));
      ++count;
      if (!DoProgress(total > 0 ? count * 100 / total : 100)) {
        SetStatus(TAbArchiveStatus::asInvalid);
        throw EAbUserAbort();
      }
    }
  } catch (...) {
    throw EAbException("Invalid Item");
  }
}

void copySourceRange(ByteSource& source, std::uint64_t offset, std::uint64_t count, ByteSink& sink) {
  if (!source.seek(offset) && count > 0)
    throw kyv::Error(ErrorKind::UnexpectedEnd, "Stream read error");
  std::vector<std::byte> buffer(64 * 1024);
  while (count > 0) {
    const std::size_t want =
        count < buffer.size() ? static_cast<std::size_t>(count) : buffer.size();
    const std::size_t got = source.read(std::span(buffer).first(want));
    if (got == 0)
      throw kyv::Error(ErrorKind::UnexpectedEnd, "Stream read error");
    if (!sink.write(std::span(buffer).first(got)))
      throw EAbWriteRefused();
    count -= got;
  }
}

void TAbTarArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  // The list holds every regular entry in walk order with its header's place, so the i-th entry
  // of a fresh walk is the i-th item.
  const auto* item = dynamic_cast<const TAbTarItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  copySourceRange(*Stream(), item->HeaderOffset + kTarBlockSize, item->UncompressedSize, stream);
}

} // namespace kyv::archive
