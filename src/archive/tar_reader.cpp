#include "archive/tar_reader.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kyv::archive {

TAbTarItem::TAbTarItem(const TarEntry& entry)
    : Header(entry.header), HeaderOffset(entry.headerOffset), DataOffset(entry.dataOffset),
      StoredSize(entry.storedSize), LinkName(entry.linkName), Sparse(entry.sparse),
      Segments(entry.segments) {
  // The whole name, from wherever the archive keeps it (pax record, GNU long name, ustar prefix).
  FileName = entry.name;
  UncompressedSize = entry.realSize;
  CompressedSize = entry.storedSize;
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
      Items().Add(std::make_unique<TAbTarItem>(walker.entry()));
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

void copySourceRange(ByteSource& source, std::uint64_t offset, std::uint64_t count,
                     ByteSink& sink) {
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

void writeSparse(ByteSource& source, std::uint64_t offset, const TarSegments& segments,
                 std::uint64_t realSize, ByteSink& sink) {
  static const std::vector<std::byte> zeros(64 * 1024);
  std::uint64_t written = 0;
  const auto fillTo = [&](std::uint64_t end) {
    while (written < end) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(end - written, zeros.size()));
      if (!sink.write(std::span(zeros).first(n)))
        throw EAbWriteRefused();
      written += n;
    }
  };
  std::uint64_t stored = offset;
  for (const auto& [at, length] : segments) {
    if (at < written || length > realSize || at > realSize - length)
      throw EAbException("Invalid sparse map");
    fillTo(at);
    copySourceRange(source, stored, length, sink);
    stored += length;
    written += length;
  }
  fillTo(realSize);
}

void TAbTarArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  // Each item keeps where its bytes are: members are taken by position, never found again by a
  // name that two of them may share.
  const auto* item = dynamic_cast<const TAbTarItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  if (item->Sparse)
    writeSparse(*Stream(), item->DataOffset, item->Segments, item->UncompressedSize, stream);
  else
    copySourceRange(*Stream(), item->DataOffset, item->StoredSize, stream);
}

} // namespace kyv::archive
