#include "archive/udf_reader.h"

#include <deque>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "archive/udf_format.h"

namespace kyv::archive {

namespace {

// Sector sizes of the media UDF is written for, the usual first.
constexpr std::uint32_t kSectorSizes[] = {2048, 512, 4096, 1024};
// Descriptors read of one volume descriptor sequence, pointers followed included: a sequence
// holds a dozen.
constexpr int kMaxSequenceSectors = 256;
// Folder bytes read for one image, and for one folder. A file identifier takes at least 40 bytes,
// so this holds far more entries than the member cap lets through.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{64} << 20;
constexpr std::uint64_t kMaxOneDirectory = std::uint64_t{16} << 20;
// Nesting of folders; real discs stay far below it.
constexpr int kMaxDepth = 256;
// Runs of one file, and blocks of further allocation descriptors followed for it.
constexpr std::size_t kMaxRuns = 1 << 16;
constexpr int kMaxAllocationBlocks = 4096;

} // namespace

// The volume as the reader sees it: block size, how partition references become image offsets,
// and the walk over the file set.
class UdfVolume {
public:
  explicit UdfVolume(TAbUdfArchive& archive) : archive_(archive), image_(*archive.Stream()) {}
  void run();

private:
  struct Map {
    udf::PartitionMap map;
    std::uint64_t start = 0; // image offset of the partition's block 0
    ImageExtents metadata;   // the metadata partition's blocks, in order
  };
  struct Directory {
    udf::LbAddr icb;
    std::string path;
    int depth = 0;
  };

  bool readAt(std::uint64_t offset, std::span<std::byte> out) {
    return image_.seek(offset) && image_.readExact(out);
  }
  void note(const std::string& why) { archive_.NoteIncomplete(why); }
  bool findAnchor(udf::Extent& main, udf::Extent& reserve);
  bool readSequence(udf::Extent extent);
  void setUpMaps();
  std::optional<std::uint64_t> offsetOf(udf::LbAddr address) const;
  // The checked descriptor in the block at address, with its tag identifier.
  std::optional<std::uint16_t> readBlock(udf::LbAddr address, std::vector<std::byte>& block);
  bool runsOf(const udf::FileEntry& entry, std::uint16_t partition, ImageExtents& runs);
  void walk(udf::LbAddr root);
  void readDirectory(const Directory& dir, const udf::FileEntry& entry,
                     std::deque<Directory>& queue);
  void addFile(const std::string& name, const udf::FileEntry& entry, std::uint16_t partition);
  bool full() const { return archive_.MemberCount() >= TAbUdfArchive::kMaxMembers; }

  TAbUdfArchive& archive_;
  ByteSource& image_;
  std::uint32_t sector_ = 0;
  std::map<std::uint16_t, udf::PartitionDescriptor> partitions_;
  std::optional<udf::LogicalVolume> volume_;
  std::vector<Map> maps_;
  std::set<udf::LbAddr> visited_;
  std::uint64_t directoryBytes_ = 0;
};

bool UdfVolume::findAnchor(udf::Extent& main, udf::Extent& reserve) {
  for (const std::uint32_t size : kSectorSizes) {
    const std::uint64_t count = image_.size() / size;
    std::vector<std::byte> sector(size);
    for (const std::uint64_t at :
         {std::uint64_t{256}, count - 256, count - 1, std::uint64_t{512}}) {
      if (at >= count || at > UINT32_MAX || !readAt(at * size, sector))
        continue;
      if (udf::checkedTag(sector, static_cast<std::uint32_t>(at)) != udf::tag::kAnchor)
        continue;
      main = *udf::parseAnchor(sector);
      reserve = udf::parseAnchor(std::span(sector).subspan(8)).value_or(udf::Extent{});
      sector_ = size;
      return true;
    }
  }
  return false;
}

bool UdfVolume::readSequence(udf::Extent extent) {
  std::vector<std::byte> sector(sector_);
  int read = 0;
  while (read < kMaxSequenceSectors) {
    bool next = false;
    for (std::uint64_t i = 0; i < extent.length / sector_ && read < kMaxSequenceSectors;
         ++i, ++read) {
      const std::uint64_t at = std::uint64_t{extent.location} + i;
      if (at > UINT32_MAX || !readAt(at * sector_, sector))
        return volume_.has_value();
      const auto id = udf::checkedTag(sector, static_cast<std::uint32_t>(at));
      if (!id || *id == udf::tag::kTerminating)
        return volume_.has_value() && !partitions_.empty();
      if (*id == udf::tag::kPartition) {
        const udf::PartitionDescriptor pd = udf::parsePartition(sector);
        partitions_.emplace(pd.number, pd);
      } else if (*id == udf::tag::kLogicalVolume && !volume_) {
        volume_ = udf::parseLogicalVolume(sector);
      } else if (*id == udf::tag::kPointer) {
        extent = udf::parsePointer(sector);
        next = true;
        ++read;
        break;
      }
    }
    if (!next)
      break;
  }
  return volume_.has_value() && !partitions_.empty();
}

void UdfVolume::setUpMaps() {
  for (const udf::PartitionMap& pm : volume_->maps) {
    Map m;
    m.map = pm;
    const auto pd = partitions_.find(pm.partition);
    if (pd != partitions_.end())
      m.start = std::uint64_t{pd->second.start} * sector_;
    else
      m.map.virtualPartition = true; // names no partition: nothing in it can be read
    maps_.push_back(m);
  }
  // A metadata partition's blocks are those of its metadata file, a file in the partition the
  // map names; its entry gives the runs.
  for (std::size_t i = 0; i < maps_.size(); ++i) {
    Map& m = maps_[i];
    if (!m.map.metadata || m.map.virtualPartition)
      continue;
    std::vector<std::byte> block(sector_);
    const std::uint64_t at = m.start + std::uint64_t{m.map.metadataFile} * sector_;
    std::optional<udf::FileEntry> entry;
    std::optional<std::uint16_t> id;
    if (readAt(at, block))
      id = udf::checkedTag(block, m.map.metadataFile);
    if (id == udf::tag::kFileEntry || id == udf::tag::kExtendedFileEntry)
      entry = udf::parseFileEntry(block, *id);
    // Its short descriptors point into the physical partition: a map of type 1 for it.
    Map physical = m;
    physical.map.metadata = false;
    maps_.push_back(physical);
    const auto self = static_cast<std::uint16_t>(maps_.size() - 1);
    ImageExtents runs;
    if (entry && runsOf(*entry, self, runs))
      maps_[i].metadata = std::move(runs);
    else
      note("the metadata partition could not be read");
    maps_.pop_back();
  }
}

std::optional<std::uint64_t> UdfVolume::offsetOf(udf::LbAddr address) const {
  if (address.partition >= maps_.size())
    return std::nullopt;
  const Map& m = maps_[address.partition];
  if (m.map.virtualPartition)
    return std::nullopt;
  const std::uint64_t offset = std::uint64_t{address.block} * sector_;
  if (!m.map.metadata)
    return m.start + offset;
  std::uint64_t base = 0;
  for (const ImageExtent& run : m.metadata) {
    if (offset >= base && offset - base < run.length)
      return run.zeros ? std::nullopt : std::optional(run.offset + (offset - base));
    base += run.length;
  }
  return std::nullopt;
}

std::optional<std::uint16_t> UdfVolume::readBlock(udf::LbAddr address,
                                                  std::vector<std::byte>& block) {
  const auto offset = offsetOf(address);
  block.resize(sector_);
  if (!offset || !readAt(*offset, block))
    return std::nullopt;
  return udf::checkedTag(block, address.block);
}

bool UdfVolume::runsOf(const udf::FileEntry& entry, std::uint16_t partition, ImageExtents& runs) {
  std::vector<udf::AllocationDescriptor> ads =
      udf::parseAllocations(entry.descriptors, entry.form, partition);
  std::vector<std::byte> block;
  int hops = 0;
  for (std::size_t i = 0; i < ads.size(); ++i) {
    const udf::AllocationDescriptor& ad = ads[i];
    if (ad.type == 3) {
      // The descriptors go on in the block it names.
      if (++hops > kMaxAllocationBlocks ||
          readBlock(ad.where, block) != udf::tag::kAllocationExtent)
        return false;
      const auto area = udf::allocationExtentArea(block);
      if (!area)
        return false;
      const auto more = udf::parseAllocations(*area, entry.form, ad.where.partition);
      ads.insert(ads.end(), more.begin(), more.end());
      continue;
    }
    if (runs.size() >= kMaxRuns) {
      note("a file of more than " + std::to_string(kMaxRuns) + " runs");
      return false;
    }
    if (ad.type != 0) {
      runs.push_back({0, ad.length, true});
      continue;
    }
    const auto offset = offsetOf(ad.where);
    if (!offset)
      return false;
    runs.push_back({*offset, ad.length, false});
  }
  return true;
}

void UdfVolume::run() {
  udf::Extent main, reserve;
  if (!findAnchor(main, reserve))
    throw EAbException("Not a UDF image", AbCode::Unknown, ErrorKind::BadHeader);
  if (!readSequence(main)) {
    partitions_.clear();
    volume_.reset();
    if (!readSequence(reserve))
      throw EAbException("UDF: no readable volume descriptor sequence", AbCode::Unknown,
                         ErrorKind::BadHeader);
  }
  if (volume_->blockSize != sector_)
    throw EAbException("UDF: logical blocks of " + std::to_string(volume_->blockSize) +
                           " bytes on sectors of " + std::to_string(sector_),
                       AbCode::Unknown, ErrorKind::Unsupported);
  setUpMaps();
  std::vector<std::byte> block;
  if (readBlock(volume_->fileSet.where, block) != udf::tag::kFileSet)
    throw EAbException("UDF: no readable file set", AbCode::Unknown, ErrorKind::BadHeader);
  walk(udf::parseFileSetRoot(block).where);
}

void UdfVolume::walk(udf::LbAddr root) {
  std::deque<Directory> queue{{root, std::string(), 0}};
  std::vector<std::byte> block;
  while (!queue.empty()) {
    const Directory dir = queue.front();
    queue.pop_front();
    // An entry is read once: a folder that names itself or an ancestor ends there.
    if (!visited_.insert(dir.icb).second)
      continue;
    if (full()) {
      note("more than " + std::to_string(TAbUdfArchive::kMaxMembers) + " files");
      return;
    }
    const auto id = readBlock(dir.icb, block);
    if (id != udf::tag::kFileEntry && id != udf::tag::kExtendedFileEntry) {
      note("a folder entry is damaged");
      continue;
    }
    const auto entry = udf::parseFileEntry(block, *id);
    if (!entry || entry->fileType != udf::kTypeDirectory) {
      note("a folder entry is damaged");
      continue;
    }
    readDirectory(dir, *entry, queue);
  }
}

void UdfVolume::readDirectory(const Directory& dir, const udf::FileEntry& entry,
                              std::deque<Directory>& queue) {
  std::vector<std::byte> data;
  if (entry.form == udf::AdForm::Embedded) {
    data.assign(entry.descriptors.begin(), entry.descriptors.end());
  } else {
    ImageExtents runs;
    if (!runsOf(entry, dir.icb.partition, runs)) {
      note("a folder's allocation is damaged");
      return;
    }
    std::uint64_t total = 0;
    for (const ImageExtent& run : runs)
      total += run.length;
    total = std::min(total, entry.size);
    if (total > kMaxOneDirectory || directoryBytes_ + total > kMaxDirectoryBytes) {
      note("folders larger than " + std::to_string(kMaxOneDirectory) + " bytes");
      return;
    }
    directoryBytes_ += total;
    TAbImageItem folder;
    folder.Extents = std::move(runs);
    VectorSink sink(static_cast<std::size_t>(total));
    try {
      writeImageItem(image_, folder, sink);
    } catch (const std::exception&) {
      note("a folder runs past the end of the image");
    }
    data = std::move(sink.bytes());
  }
  if (data.size() > entry.size)
    data.resize(static_cast<std::size_t>(entry.size));

  std::vector<std::byte> block;
  for (std::size_t at = 0; at < data.size();) {
    const auto fid = udf::parseFileIdentifier(std::span(data).subspan(at));
    if (!fid)
      break;
    at += fid->size;
    if (fid->isParent() || fid->isDeleted())
      continue;
    const std::string name = dir.path + safeComponent(udf::cs0Name(fid->name));
    if (dir.depth + 1 >= kMaxDepth) {
      note("folders nested deeper than " + std::to_string(kMaxDepth));
      continue;
    }
    // What the entry says it is counts, not the identifier's flag.
    const auto id = readBlock(fid->icb.where, block);
    const auto child = id == udf::tag::kFileEntry || id == udf::tag::kExtendedFileEntry
                           ? udf::parseFileEntry(block, *id)
                           : std::nullopt;
    if (!child) {
      note("the entry of " + name + " is damaged");
      continue;
    }
    if (child->fileType == udf::kTypeDirectory)
      queue.push_back({fid->icb.where, name + "/", dir.depth + 1});
    else if (child->fileType == udf::kTypeFile || child->fileType == udf::kTypeRealTime)
      addFile(name, *child, fid->icb.where.partition);
    if (full()) {
      note("more than " + std::to_string(TAbUdfArchive::kMaxMembers) + " files");
      return;
    }
  }
}

void UdfVolume::addFile(const std::string& name, const udf::FileEntry& entry,
                        std::uint16_t partition) {
  auto item = std::make_unique<TAbImageItem>();
  item->FileName = name;
  if (entry.form == udf::AdForm::Embedded) {
    item->IsEmbedded = true;
    const std::size_t size =
        static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, entry.descriptors.size()));
    item->Embedded.assign(entry.descriptors.begin(),
                          entry.descriptors.begin() + static_cast<std::ptrdiff_t>(size));
    item->UncompressedSize = size;
  } else {
    if (!runsOf(entry, partition, item->Extents)) {
      note("the allocation of " + name + " is damaged");
      return;
    }
    // The runs cover whole blocks; the entry's length says how much of them is the file. Runs
    // that claim less than that give what they hold.
    std::uint64_t left = entry.size;
    for (ImageExtent& run : item->Extents) {
      run.length = std::min(run.length, left);
      left -= run.length;
    }
    while (!item->Extents.empty() && item->Extents.back().length == 0)
      item->Extents.pop_back();
    item->UncompressedSize = entry.size - left;
  }
  item->CompressedSize = item->UncompressedSize;
  archive_.Items().Add(std::move(item));
}

void TAbUdfArchive::LoadArchiveItems() {
  ClearIncomplete();
  UdfVolume(*this).run();
}

} // namespace kyv::archive
