#include "archive/sevenzip_reader.h"

#include <algorithm>
#include <array>

#include "archive/sevenzip_folder.h"
#include "codec/checksum.h"

namespace kyv::archive {

using namespace sevenzip;

namespace {

[[noreturn]] void badArchive(const std::string& what, ErrorKind kind = ErrorKind::BadHeader) {
  throw EAbException("7z: " + what, AbCode::Unknown, kind);
}

std::uint64_t addClamped(std::uint64_t a, std::uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}

// Cuts a folder's decoded output into its members, in order: each begun, written, CRC-checked
// and ended as the bytes pass it.
class MemberSplitter final : public ByteSink {
public:
  struct Member {
    int item; // -1: a substream no file claims
    std::uint64_t size;
    std::optional<std::uint32_t> crc;
  };

  MemberSplitter(std::vector<Member> members, const TAb7zArchive::BeginMember& begin,
                 const TAb7zArchive::EndMember& end,
                 const std::function<bool(std::uint64_t)>& skipGate)
      : members_(std::move(members)), begin_(begin), end_(end), skipGate_(skipGate) {}

  bool write(std::span<const std::byte> data) override {
    while (true) {
      if (!openNext())
        return false;
      if (data.empty())
        return true;
      if (cur_ >= members_.size())
        return true; // nothing claims these bytes (the folder is larger than its members)
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(left_, data.size()));
      const auto piece = data.first(take);
      data = data.subspan(take);
      crc_ = codec::crc32Update(crc_, piece);
      left_ -= take;
      if (sink_ != nullptr) {
        if (!sink_->write(piece)) {
          sink_ = nullptr;
          if (!endCurrent({T7zOutcome::Kind::Cut, true, {}}))
            return false;
        }
      } else if (skipGate_ && !skipGate_(take)) {
        stopped_ = true;
        return false;
      }
      if (left_ == 0 && open_ && !closeCurrent())
        return false;
      if (left_ == 0 && !open_)
        advance();
    }
  }

  // After the folder decoded: members that got no bytes at the end (empty ones) are handed out;
  // false when the walk is to end.
  bool finish() { return openNext(); }

  // The folder failed: the member being written and every later one are damaged.
  bool fail(const std::string& reason) {
    while (cur_ < members_.size()) {
      if (open_) {
        if (!endCurrent({T7zOutcome::Kind::Damaged, started_, reason}))
          return false;
      } else if (ended_) {
        advance();
        continue;
      } else {
        open_ = true;
        started_ = false;
        if (!endCurrent({T7zOutcome::Kind::Damaged, false, reason}))
          return false;
      }
      advance();
    }
    return true;
  }

  bool stopped() const { return stopped_; }
  bool complete() const { return cur_ >= members_.size(); }

private:
  // Begins the current member if it is not begun; ends members of no bytes at once. False when
  // the walk is to end.
  bool openNext() {
    while (cur_ < members_.size() && !open_ && !ended_) {
      const Member& m = members_[cur_];
      sink_ = m.item >= 0 ? begin_(m.item) : nullptr;
      open_ = true;
      started_ = sink_ != nullptr;
      crc_ = 0;
      left_ = m.size;
      if (left_ == 0) {
        if (!closeCurrent())
          return false;
        advance();
      }
    }
    return !stopped_;
  }

  bool closeCurrent() {
    const Member& m = members_[cur_];
    if (m.crc && *m.crc != crc_)
      return endCurrent({T7zOutcome::Kind::CrcError, started_, "CRC mismatch"});
    return endCurrent({T7zOutcome::Kind::Ok, started_, {}});
  }

  // Tells the end of the current member; the rest of its bytes, if any, are still decoded (and
  // counted against the gate) before the next one begins.
  bool endCurrent(const T7zOutcome& outcome) {
    open_ = false;
    ended_ = true;
    sink_ = nullptr;
    const int item = members_[cur_].item;
    if (item >= 0 && !end_(item, outcome)) {
      stopped_ = true;
      return false;
    }
    return true;
  }

  void advance() {
    ++cur_;
    open_ = false;
    ended_ = false;
  }

  std::vector<Member> members_;
  const TAb7zArchive::BeginMember& begin_;
  const TAb7zArchive::EndMember& end_;
  const std::function<bool(std::uint64_t)>& skipGate_;
  std::size_t cur_ = 0;
  bool open_ = false;    // begun and not yet ended
  bool ended_ = false;   // ended before all its bytes went by
  bool started_ = false; // its sink was given
  ByteSink* sink_ = nullptr;
  std::uint64_t left_ = 0;
  std::uint32_t crc_ = 0;
  bool stopped_ = false;
};

} // namespace

TAb7zArchive::TAb7zArchive(const std::string& fileName) : TAbArchive(fileName) {}

TAb7zArchive::TAb7zArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName)
    : TAbArchive(std::move(stream), fileName) {}

std::vector<std::byte> TAb7zArchive::ReadHeaderBytes(const StartHeader& start) {
  ByteSource& source = *Stream();
  const std::uint64_t at = addClamped(kSignatureHeaderSize, start.nextHeaderOffset);
  if (start.nextHeaderSize > kMaxHeaderBytes)
    badArchive("header of " + std::to_string(start.nextHeaderSize) + " bytes is over the cap",
               ErrorKind::Limit);
  if (at > source.size() || start.nextHeaderSize > source.size() - at)
    badArchive("the header lies past the end of the file (cut short?)", ErrorKind::UnexpectedEnd);
  std::vector<std::byte> bytes(static_cast<std::size_t>(start.nextHeaderSize));
  if (!source.seek(at) || !source.readExact(bytes))
    throw EAbReadError();
  if (codec::crc32Update(0, bytes) != start.nextHeaderCrc)
    badArchive("header CRC mismatch", ErrorKind::CrcError);
  return bytes;
}

std::optional<Database> TAb7zArchive::DecodeHeader(std::vector<std::byte> bytes) {
  for (int level = 0; level < kMaxHeaderLevels; ++level) {
    ParsedHeader parsed = parseHeader(bytes);
    if (parsed.database)
      return std::move(*parsed.database);
    const StreamsInfo& s = *parsed.encoded;
    std::vector<std::byte> decoded;
    std::uint64_t packAt = addClamped(kSignatureHeaderSize, s.packPos);
    for (const Folder& f : s.folders) {
      if (const auto refusal = refuseFolder(f)) {
        if (refusal->encrypted)
          return std::nullopt;
        badArchive("header: " + refusal->reason, ErrorKind::Unsupported);
      }
      if (f.unpackSize() > kMaxHeaderBytes - decoded.size())
        badArchive("packed header of " + std::to_string(f.unpackSize()) + " bytes is over the cap",
                   ErrorKind::Limit);
      std::vector<PackedRange> ranges;
      for (std::size_t k = 0; k < f.packedInputs.size(); ++k) {
        const std::uint64_t size = s.packSizes[f.firstPackStream + k];
        ranges.push_back({packAt, size});
        packAt = addClamped(packAt, size);
      }
      VectorSink sink;
      (void)decodeFolder(*Stream(), f, ranges, sink);
      if (f.crc && codec::crc32Update(0, sink.bytes()) != *f.crc)
        badArchive("packed header CRC mismatch", ErrorKind::CrcError);
      decoded.insert(decoded.end(), sink.bytes().begin(), sink.bytes().end());
    }
    bytes = std::move(decoded);
  }
  badArchive("headers packed inside each other too deeply");
}

void TAb7zArchive::LoadArchiveItems() {
  ByteSource& source = *Stream();
  std::array<std::byte, kSignatureHeaderSize> head{};
  if (!source.seek(0) || !source.readExact(head) || !hasSignature(head))
    badArchive("not a 7z archive");
  const StartHeader start = parseStartHeader(head);
  if (start.nextHeaderSize == 0)
    return; // an empty archive
  headerStart_ = addClamped(kSignatureHeaderSize, start.nextHeaderOffset);
  auto db = DecodeHeader(ReadHeaderBytes(start));
  if (!db) {
    headerEncrypted_ = true;
    return;
  }
  db_ = std::move(*db);
  AddItems();
  DoProgress(100);
}

void TAb7zArchive::AddItems() {
  const StreamsInfo& s = db_.streams;
  packOffsets_.clear();
  std::uint64_t at = addClamped(kSignatureHeaderSize, s.packPos);
  for (const std::uint64_t size : s.packSizes) {
    packOffsets_.push_back(at);
    at = addClamped(at, size);
  }
  // Substreams in folder order, skipping folders that hold none.
  std::vector<int> folderOfSub;
  folderFirstSubstream_.clear();
  for (std::size_t f = 0; f < s.folders.size(); ++f) {
    folderFirstSubstream_.push_back(static_cast<std::uint32_t>(folderOfSub.size()));
    folderOfSub.insert(folderOfSub.end(), s.folders[f].numSubstreams, static_cast<int>(f));
  }
  substreamItem_.assign(s.subSizes.size(), -1);
  std::uint32_t sub = 0;
  for (const FileEntry& e : db_.files) {
    auto item = std::make_unique<TAb7zItem>();
    item->FileName = e.name + (e.isDirectory && !e.name.empty() ? "/" : "");
    item->IsAnti = e.isAnti;
    item->ExternalFileAttributes = e.attributes.value_or(0);
    if (e.hasStream && sub < s.subSizes.size()) {
      const int f = folderOfSub[sub];
      const Folder& folder = s.folders[static_cast<std::size_t>(f)];
      item->Folder = f;
      item->Substream = sub;
      item->UncompressedSize = s.subSizes[sub];
      item->Crc = s.subCrcs[sub];
      item->CRC32 = item->Crc.value_or(0);
      item->IsEncrypted = refuseFolder(folder).has_value() && refuseFolder(folder)->encrypted;
      // A solid folder's packed bytes shared out in proportion, so that the bomb ratio of a
      // member is that of its folder.
      std::uint64_t packed = 0;
      for (std::size_t k = 0; k < folder.packedInputs.size(); ++k)
        packed = addClamped(packed, s.packSizes[folder.firstPackStream + k]);
      const double share = folder.unpackSize() == 0 ? 0.0
                                                    : static_cast<double>(item->UncompressedSize) /
                                                          static_cast<double>(folder.unpackSize());
      item->CompressedSize = static_cast<std::uint64_t>(static_cast<double>(packed) * share);
      if (item->CompressedSize == 0 && item->UncompressedSize > 0)
        item->CompressedSize = 1;
      substreamItem_[sub] = Items().Count();
      ++sub;
    }
    Items().Add(std::move(item));
  }
}

bool TAb7zArchive::ExtractFolder(std::size_t index, const BeginMember& begin,
                                 const EndMember& end) {
  const StreamsInfo& s = db_.streams;
  const Folder& folder = s.folders[index];
  std::vector<MemberSplitter::Member> members;
  const std::uint32_t first = folderFirstSubstream_[index];
  for (std::uint32_t k = 0; k < folder.numSubstreams; ++k)
    members.push_back({substreamItem_[first + k], s.subSizes[first + k], s.subCrcs[first + k]});
  if (std::all_of(members.begin(), members.end(), [](const auto& m) { return m.item < 0; }))
    return true;
  if (const auto refusal = refuseFolder(folder)) {
    const auto kind =
        refusal->encrypted ? T7zOutcome::Kind::Encrypted : T7zOutcome::Kind::Unsupported;
    for (const auto& m : members)
      if (m.item >= 0 && !end(m.item, {kind, false, refusal->reason}))
        return false;
    return true;
  }
  std::vector<PackedRange> ranges;
  for (std::size_t k = 0; k < folder.packedInputs.size(); ++k)
    ranges.push_back(
        {packOffsets_[folder.firstPackStream + k], s.packSizes[folder.firstPackStream + k]});
  MemberSplitter splitter(std::move(members), begin, end, SkipGate);
  for (const PackedRange& r : ranges)
    if (r.offset > headerStart_ || r.size > headerStart_ - r.offset)
      return splitter.fail("7z: a packed stream runs into the header or past the end of the file");
  try {
    if (!decodeFolder(*Stream(), folder, ranges, splitter))
      return !splitter.stopped() && splitter.fail("the decoder's output was refused");
  } catch (const EAbException& error) {
    if (splitter.stopped())
      return false;
    return splitter.fail(error.what());
  }
  if (!splitter.finish())
    return false;
  return splitter.complete() || splitter.fail("7z: the folder ends before its members");
}

void TAb7zArchive::ExtractMembers(const BeginMember& begin, const EndMember& end) {
  for (std::size_t f = 0; f < db_.streams.folders.size(); ++f)
    if (!ExtractFolder(f, begin, end))
      return;
}

void TAb7zArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  const auto* item = dynamic_cast<const TAb7zItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  if (item->Folder < 0)
    return;
  std::optional<T7zOutcome> outcome;
  const BeginMember begin = [&](int i) -> ByteSink* { return i == index ? &stream : nullptr; };
  const EndMember end = [&](int i, const T7zOutcome& o) {
    if (i == index)
      outcome = o;
    return i != index;
  };
  (void)ExtractFolder(static_cast<std::size_t>(item->Folder), begin, end);
  if (!outcome)
    badArchive("member not reached", ErrorKind::DataError);
  switch (outcome->kind) {
  case T7zOutcome::Kind::Ok:
    return;
  case T7zOutcome::Kind::CrcError:
    throw EAbException("7z: CRC mismatch", AbCode::Unknown, ErrorKind::CrcError);
  case T7zOutcome::Kind::Cut:
    throw EAbWriteRefused();
  case T7zOutcome::Kind::Encrypted:
  case T7zOutcome::Kind::Unsupported:
    throw EAbException("7z: " + outcome->reason, AbCode::Unknown, ErrorKind::Unsupported);
  case T7zOutcome::Kind::Damaged:
    throw EAbException(outcome->reason, AbCode::Unknown, ErrorKind::DataError);
  }
}

} // namespace kyv::archive
