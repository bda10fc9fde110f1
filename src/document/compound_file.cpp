#include "document/compound_file.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/endian.h"
#include "base/error.h"
#include "platform/codepages.h"

namespace kyv::document {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw kyv::Error(ErrorKind::BadHeader, "compound file: " + what);
}

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

char16_t foldAscii(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c;
}

template <typename Text> bool sameName(const std::u16string& stored, Text wanted) {
  if (stored.size() != wanted.size())
    return false;
  for (std::size_t i = 0; i < wanted.size(); ++i)
    if (foldAscii(stored[i]) !=
        foldAscii(static_cast<std::make_unsigned_t<typename Text::value_type>>(wanted[i])))
      return false;
  return true;
}

} // namespace

std::uint32_t TCompoundFile::Chains::startWalk() {
  if (++generation == 0) { // after 2^32 walks the old marks could be taken for new ones
    std::fill(seen.begin(), seen.end(), 0);
    generation = 1;
  }
  return generation;
}

bool TCompoundFile::HasSignature(std::span<const std::byte> head) {
  return head.size() >= kCfbSignature.size() &&
         std::memcmp(head.data(), kCfbSignature.data(), kCfbSignature.size()) == 0;
}

TCompoundFile::TCompoundFile(ByteSource& source) : source_(source) {
  std::array<std::byte, kHeaderSize> header{};
  std::size_t got = 0;
  if (!ReadAt(0, header, got))
    fail("the file is shorter than its header");
  if (!HasSignature(header))
    fail("no compound-file signature");
  ReadHeader(header);
  ReadFat(header);
  ReadDirectory(loadLe32(header.data() + kHdrFirstDirSector));
  WalkTree();
  OpenMiniStream(header);
}

void TCompoundFile::ReadHeader(std::span<const std::byte> header) {
  // Only two sector sizes exist; the major version that should go with each is not insisted on.
  const unsigned shift = loadLe16(header.data() + kHdrSectorShift);
  if (shift != kSectorShift512 && shift != kSectorShift4096)
    fail("sector shift " + std::to_string(shift) + " (only 9 and 12 exist)");
  const unsigned miniShift = loadLe16(header.data() + kHdrMiniSectorShift);
  if (miniShift != kMiniSectorShift)
    fail("mini sector shift " + std::to_string(miniShift) + " (only 6 exists)");
  sectorShift_ = shift;
  sectorSize_ = std::uint32_t{1} << shift;
  const std::uint64_t size = source_.size();
  // Sector numbers above kMaxRegSect are markers, so no file has more sectors than that.
  const std::uint64_t sectors = size > sectorSize_ ? ceilDiv(size - sectorSize_, sectorSize_) : 0;
  sectorCount_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(sectors, kMaxRegSect));
}

// The FAT's own sectors: the header's 109, then the DIFAT chain's. No more are taken than it
// needs to cover the sectors the file holds, however many the header claims.
std::vector<std::uint32_t> TCompoundFile::FatSectorList(std::span<const std::byte> header) {
  const std::uint32_t perSector = sectorSize_ / 4;
  const std::uint64_t wanted = std::min<std::uint64_t>(loadLe32(header.data() + kHdrFatSectors),
                                                       ceilDiv(sectorCount_, perSector));
  std::vector<std::uint32_t> list;
  for (std::size_t i = 0; i < kHeaderDifatEntries && list.size() < wanted; ++i)
    list.push_back(loadLe32(header.data() + kHdrDifat + 4 * i));
  std::vector<bool> visited(sectorCount_);
  std::vector<std::byte> sector(sectorSize_);
  std::uint32_t difat = loadLe32(header.data() + kHdrFirstDifatSector);
  while (list.size() < wanted && difat < sectorCount_ && !visited[difat]) {
    visited[difat] = true;
    std::size_t got = 0;
    if (!ReadAt(SectorOffset(difat), sector, got))
      break;
    for (std::uint32_t j = 0; j + 1 < perSector && list.size() < wanted; ++j)
      list.push_back(loadLe32(sector.data() + 4 * j));
    difat = loadLe32(sector.data() + 4 * (perSector - 1));
  }
  fat_.owner.assign(sectorCount_, 0);
  for (std::uint32_t s = 0; s < sectorCount_; ++s)
    if (visited[s])
      fat_.owner[s] = kMetaOwner;
  return list;
}

void TCompoundFile::ReadFat(std::span<const std::byte> header) {
  const std::vector<std::uint32_t> list = FatSectorList(header);
  const std::uint32_t perSector = sectorSize_ / 4;
  // Entries past the file's last sector could only point outside it.
  fat_.next.assign(std::min<std::uint64_t>(list.size() * std::uint64_t{perSector}, sectorCount_),
                   kFreeSect);
  fat_.seen.assign(fat_.next.size(), 0);
  fat_.owner.resize(fat_.next.size());
  std::vector<std::byte> sector(sectorSize_);
  for (std::size_t i = 0; i < list.size(); ++i) {
    const std::uint32_t at = list[i];
    // An unreadable FAT sector leaves its entries free, so the chains through it end there; of
    // one the file cuts short, the entries it still holds are used.
    std::size_t got = 0;
    if (at >= sectorCount_)
      continue;
    (void)ReadAt(SectorOffset(at), sector, got);
    if (at < fat_.owner.size())
      fat_.owner[at] = kMetaOwner;
    const std::size_t base = i * perSector;
    for (std::uint32_t j = 0; j < got / 4 && base + j < fat_.next.size(); ++j)
      fat_.next[base + j] = loadLe32(sector.data() + 4 * j);
  }
}

// The sectors of one of the file's own chains (directory, miniFAT), marked as the file's.
std::vector<std::uint32_t> TCompoundFile::MetaChain(std::uint32_t start, std::uint64_t maxSectors) {
  std::vector<std::uint32_t> chain;
  const std::uint32_t walk = fat_.startWalk();
  for (std::uint32_t s = start; s < fat_.next.size() && chain.size() < maxSectors;
       s = fat_.next[s]) {
    if (fat_.seen[s] == walk)
      break;
    fat_.seen[s] = walk;
    fat_.owner[s] = kMetaOwner;
    chain.push_back(s);
  }
  return chain;
}

void TCompoundFile::ReadDirectory(std::uint32_t first) {
  const std::uint32_t perSector = sectorSize_ / kDirEntrySize;
  const std::uint64_t maxSectors = ceilDiv(kMaxDirectoryEntries, perSector);
  const std::vector<std::uint32_t> chain = MetaChain(first, maxSectors);
  if (chain.empty())
    fail("directory sector " + std::to_string(first) + " lies outside the file");
  // A chain that goes on past the cap holds entries that are never read: say so.
  const std::uint32_t after = fat_.next[chain.back()];
  directoryCut_ = chain.size() >= maxSectors && after < fat_.next.size() &&
                  fat_.seen[after] != fat_.seen[chain.front()];
  std::vector<std::byte> sector(sectorSize_);
  entries_.reserve(chain.size() * perSector);
  for (const std::uint32_t s : chain) {
    std::size_t got = 0;
    if (!ReadAt(SectorOffset(s), sector, got))
      break;
    for (std::uint32_t k = 0; k < perSector; ++k) {
      const std::byte* e = sector.data() + k * kDirEntrySize;
      TCfbEntry entry;
      const std::size_t units =
          std::min<std::size_t>(loadLe16(e + kDirNameLength) / 2, kDirNameBytes / 2);
      for (std::size_t u = 0; u < units; ++u) {
        const char16_t c = loadLe16(e + kDirName + 2 * u);
        if (c == 0)
          break;
        entry.Name.push_back(c);
      }
      const auto type = std::to_integer<std::uint8_t>(e[kDirType]);
      if (type == 1 || type == 2 || type == 5)
        entry.Type = static_cast<TCfbType>(type);
      entry.Left = loadLe32(e + kDirLeft);
      entry.Right = loadLe32(e + kDirRight);
      entry.Child = loadLe32(e + kDirChild);
      entry.Start = loadLe32(e + kDirStartSector);
      // Old writers left garbage in the upper half of a version-3 size.
      entry.Size = sectorShift_ == kSectorShift512 ? loadLe32(e + kDirStreamSize)
                                                   : loadLe64(e + kDirStreamSize);
      entries_.push_back(std::move(entry));
    }
  }
  if (entries_.empty() || entries_[kRootId].Type != TCfbType::Root)
    fail("the first directory entry is not the root");
}

// A sibling or child link, taken when it names an entry not reached before; anything else ends
// that branch (and counts, unless it is the "none" mark).
std::uint32_t TCompoundFile::TakeLink(std::uint32_t id, std::vector<bool>& reached) {
  if (id == kNoStream)
    return kNoStream;
  if (id >= entries_.size() || reached[id] ||
      (entries_[id].Type != TCfbType::Storage && entries_[id].Type != TCfbType::Stream)) {
    ++anomalies_;
    return kNoStream;
  }
  reached[id] = true;
  return id;
}

// Every storage's sibling tree, in order, without recursion: each entry is reached at most once,
// so the walk is linear in the directory whatever its links say.
void TCompoundFile::WalkTree() {
  std::vector<bool> reached(entries_.size());
  reached[kRootId] = true;
  std::vector<std::uint32_t> storages{kRootId};
  std::vector<std::uint32_t> path;
  while (!storages.empty()) {
    const std::uint32_t storage = storages.back();
    storages.pop_back();
    std::uint32_t cur = TakeLink(entries_[storage].Child, reached);
    path.clear();
    while (cur != kNoStream || !path.empty()) {
      while (cur != kNoStream) {
        path.push_back(cur);
        cur = TakeLink(entries_[cur].Left, reached);
      }
      cur = path.back();
      path.pop_back();
      entries_[cur].Parent = storage;
      entries_[storage].Children.push_back(cur);
      if (entries_[cur].Type == TCfbType::Storage)
        storages.push_back(cur);
      cur = TakeLink(entries_[cur].Right, reached);
    }
  }
}

void TCompoundFile::OpenMiniStream(std::span<const std::byte> header) {
  const TCfbEntry& root = entries_[kRootId];
  const std::uint32_t walk = fat_.startWalk();
  for (std::uint32_t s = root.Start;
       s < fat_.next.size() && miniContainer_.size() < ceilDiv(root.Size, sectorSize_);
       s = fat_.next[s]) {
    if (fat_.seen[s] == walk || fat_.owner[s] != 0)
      break;
    fat_.seen[s] = walk;
    fat_.owner[s] = kRootId + 1;
    miniContainer_.push_back(s);
  }
  const std::uint64_t miniBytes =
      std::min<std::uint64_t>(root.Size, miniContainer_.size() * std::uint64_t{sectorSize_});
  const std::uint64_t miniCount = ceilDiv(miniBytes, kMiniSectorSize);
  const std::uint32_t perSector = sectorSize_ / 4;
  const std::vector<std::uint32_t> chain =
      MetaChain(loadLe32(header.data() + kHdrFirstMiniFatSector), ceilDiv(miniCount, perSector));
  miniFat_.next.assign(std::min<std::uint64_t>(chain.size() * std::uint64_t{perSector}, miniCount),
                       kFreeSect);
  std::vector<std::byte> sector(sectorSize_);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    std::size_t got = 0;
    if (!ReadAt(SectorOffset(chain[i]), sector, got))
      continue;
    for (std::uint32_t j = 0; j < perSector && i * perSector + j < miniFat_.next.size(); ++j)
      miniFat_.next[i * perSector + j] = loadLe32(sector.data() + 4 * j);
  }
  miniFat_.seen.assign(miniFat_.next.size(), 0);
  miniFat_.owner.assign(miniFat_.next.size(), 0);
}

bool TCompoundFile::ReadAt(std::uint64_t offset, std::span<std::byte> out, std::size_t& got) {
  got = 0;
  if (!source_.seek(offset))
    return false;
  while (got < out.size()) {
    const std::size_t n = source_.read(out.subspan(got));
    if (n == 0)
      break;
    got += n;
  }
  return got == out.size();
}

std::optional<std::uint32_t> TCompoundFile::Child(std::uint32_t storage,
                                                  std::string_view name) const {
  for (const std::uint32_t id : entries_.at(storage).Children)
    if (sameName(entries_[id].Name, name))
      return id;
  return std::nullopt;
}

std::optional<std::uint32_t> TCompoundFile::Child(std::uint32_t storage,
                                                  std::u16string_view name) const {
  for (const std::uint32_t id : entries_.at(storage).Children)
    if (sameName(entries_[id].Name, name))
      return id;
  return std::nullopt;
}

std::optional<std::uint32_t> TCompoundFile::Find(std::string_view path) const {
  std::uint32_t at = kRootId;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const auto next = Child(at, path.substr(0, slash));
    if (!next)
      return std::nullopt;
    at = *next;
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
  }
  return at;
}

std::string TCompoundFile::NameOf(std::uint32_t id) const {
  const std::u16string& name = entries_.at(id).Name;
  std::string bytes;
  for (const char16_t c : name) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return platform::utf16LeToCp1251(bytes);
}

TCfbStream TCompoundFile::OpenStream(std::uint32_t id) {
  const TCfbEntry& entry = entries_.at(id);
  if (entry.Type == TCfbType::Empty || entry.Type == TCfbType::Storage)
    return TCfbStream(source_, {}, sectorSize_, 0);
  const bool mini = entry.Type == TCfbType::Stream && entry.Size < kMiniStreamCutoff;
  const std::uint32_t unit = mini ? static_cast<std::uint32_t>(kMiniSectorSize) : sectorSize_;
  std::vector<std::uint64_t> units = mini ? MiniChain(id + 1, entry.Start, entry.Size)
                                          : RegularChain(id + 1, entry.Start, entry.Size);
  const std::uint64_t length =
      std::min<std::uint64_t>(entry.Size, units.size() * std::uint64_t{unit});
  return TCfbStream(source_, std::move(units), unit, length);
}

TCfbRead TCompoundFile::ReadStream(std::uint32_t id, ByteSink& sink) {
  const TCfbEntry& entry = entries_.at(id);
  if (entry.Type == TCfbType::Empty || entry.Type == TCfbType::Storage)
    return entry.Size == 0 ? TCfbRead::Complete : TCfbRead::Short;
  TCfbStream stream = OpenStream(id);
  std::vector<std::byte> buffer(std::min<std::uint64_t>(stream.size(), std::uint64_t{1} << 16));
  std::uint64_t done = 0;
  while (std::size_t got = stream.read(buffer)) {
    if (!sink.write(std::span(buffer).first(got)))
      return TCfbRead::SinkRefused;
    done += got;
  }
  return done == entry.Size ? TCfbRead::Complete : TCfbRead::Short;
}

std::vector<std::byte> TCompoundFile::ReadPrefix(std::uint32_t id, std::size_t limit) {
  // A sink that stops taking bytes at the limit; what it holds then is the prefix wanted.
  class Prefix final : public ByteSink {
  public:
    explicit Prefix(std::size_t limit) : limit_(limit) {}
    bool write(std::span<const std::byte> data) override {
      const std::size_t take = std::min(data.size(), limit_ - bytes.size());
      bytes.insert(bytes.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take));
      return take == data.size();
    }
    std::vector<std::byte> bytes;

  private:
    std::size_t limit_;
  };
  Prefix prefix(limit);
  (void)ReadStream(id, prefix);
  return std::move(prefix.bytes);
}

std::vector<std::uint64_t> TCompoundFile::RegularChain(std::uint32_t owner, std::uint32_t start,
                                                       std::uint64_t size) {
  std::vector<std::uint64_t> units;
  const std::uint32_t walk = fat_.startWalk();
  for (std::uint32_t s = start; units.size() < ceilDiv(size, sectorSize_); s = fat_.next[s]) {
    if (s >= fat_.next.size() || fat_.seen[s] == walk ||
        (fat_.owner[s] != 0 && fat_.owner[s] != owner)) {
      // A chain that simply ends early is a size that lies; a loop, a sector outside the file
      // or another stream's (or the file's own) sector is damage.
      if (s != kEndOfChain)
        ++anomalies_;
      break;
    }
    fat_.seen[s] = walk;
    fat_.owner[s] = owner;
    units.push_back(SectorOffset(s));
  }
  return units;
}

std::vector<std::uint64_t> TCompoundFile::MiniChain(std::uint32_t owner, std::uint32_t start,
                                                    std::uint64_t size) {
  std::vector<std::uint64_t> units;
  const std::uint32_t walk = miniFat_.startWalk();
  for (std::uint32_t m = start; units.size() < ceilDiv(size, kMiniSectorSize);
       m = miniFat_.next[m]) {
    if (m >= miniFat_.next.size() || miniFat_.seen[m] == walk ||
        (miniFat_.owner[m] != 0 && miniFat_.owner[m] != owner)) {
      if (m != kEndOfChain)
        ++anomalies_;
      break;
    }
    miniFat_.seen[m] = walk;
    miniFat_.owner[m] = owner;
    // The mini stream is whole sectors, so a mini sector never straddles two of them.
    const std::uint64_t at = std::uint64_t{m} << kMiniSectorShift;
    const std::uint32_t container = miniContainer_[static_cast<std::size_t>(at >> sectorShift_)];
    units.push_back(SectorOffset(container) + (at & (sectorSize_ - 1)));
  }
  return units;
}

std::size_t TCfbStream::read(std::span<std::byte> out) {
  if (pos_ >= length_ || out.empty())
    return 0;
  // From the sector holding the position on, through the sectors that follow it in the file.
  std::size_t unit = static_cast<std::size_t>(pos_ / unitSize_);
  const std::uint64_t start = units_[unit] + pos_ % unitSize_;
  std::uint64_t run = unitSize_ - pos_ % unitSize_;
  while (run < out.size() && unit + 1 < units_.size() &&
         units_[unit + 1] == units_[unit] + unitSize_) {
    ++unit;
    run += unitSize_;
  }
  const std::size_t want =
      static_cast<std::size_t>(std::min<std::uint64_t>({run, out.size(), length_ - pos_}));
  std::size_t got = 0;
  if (file_->seek(start))
    while (got < want) {
      const std::size_t n = file_->read(out.subspan(got, want - got));
      if (n == 0)
        break;
      got += n;
    }
  if (got < want)
    length_ = pos_ + got; // the file ends inside this stream: so does the stream
  pos_ += got;
  return got;
}

bool TCfbStream::seek(std::uint64_t offset) {
  if (offset > length_)
    return false;
  pos_ = offset;
  return true;
}

} // namespace kyv::document
