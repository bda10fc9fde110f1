#include "archive/cpio_reader.h"

#include "archive/tar_reader.h"

namespace kyv::archive {

namespace {

// Passes bytes on, summing them as the crc form does.
class SummingSink final : public ByteSink {
public:
  explicit SummingSink(ByteSink& inner) : inner_(inner) {}
  bool write(std::span<const std::byte> data) override {
    sum_ = cpioChecksum(sum_, data);
    return inner_.write(data);
  }
  std::uint32_t sum() const { return sum_; }

private:
  ByteSink& inner_;
  std::uint32_t sum_ = 0;
};

} // namespace

TAbCpioItem::TAbCpioItem(const CpioEntry& entry)
    : Kind(entry.kind), DataOffset(entry.dataOffset), Checksum(entry.checksum) {
  FileName = entry.name;
  UncompressedSize = entry.size;
  CompressedSize = entry.size;
}

TAbCpioArchive::TAbCpioArchive(const std::string& fileName) : TAbArchive(fileName) {}

TAbCpioArchive::TAbCpioArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : TAbArchive(std::move(stream), fileName) {}

void TAbCpioArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  const std::uint64_t total = source.size();
  std::uint64_t offset = 0;
  int count = 0;
  bool first = true;
  for (;;) {
    std::optional<CpioEntry> entry;
    try {
      entry = readCpioEntry(source, offset);
    } catch (const std::exception& error) {
      // Not an archive at all, or damage after some members: those stay listed.
      if (first)
        throw EAbException(error.what());
      incomplete_ = error.what();
      return;
    }
    if (!entry) {
      incomplete_ = "the archive ends without its trailer";
      return;
    }
    first = false;
    if (entry->isTrailer())
      return;
    if (entry->isRegular()) {
      if (count == kMaxMembers) {
        incomplete_ = "more members than the reader lists";
        return;
      }
      Items().Add(std::make_unique<TAbCpioItem>(*entry));
      ++count;
      if (!DoProgress(total > 0 ? static_cast<int>(entry->headerOffset * 100 / total) : 100)) {
        SetStatus(TAbArchiveStatus::asInvalid);
        throw EAbUserAbort();
      }
    }
    // Every entry moves the walk on by its header at least, so it ends.
    offset = entry->next;
  }
}

void TAbCpioArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  // Each item keeps where its bytes are: members are taken by position, never by name.
  const auto* item = dynamic_cast<const TAbCpioItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  if (item->Kind != CpioKind::Crc) {
    copySourceRange(*Stream(), item->DataOffset, item->UncompressedSize, stream);
    return;
  }
  SummingSink summing(stream);
  copySourceRange(*Stream(), item->DataOffset, item->UncompressedSize, summing);
  if (summing.sum() != item->Checksum)
    throw EAbException("Checksum mismatch");
}

} // namespace kyv::archive
