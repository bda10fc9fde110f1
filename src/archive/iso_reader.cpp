#include "archive/iso_reader.h"

#include <deque>
#include <optional>
#include <unordered_set>
#include <vector>

#include "archive/iso_format.h"
#include "base/endian.h"
#include "platform/codepages.h"

namespace kyv::archive {

namespace {

// Descriptors looked at before the terminator: producers write four or five.
constexpr int kMaxDescriptors = 64;
// Directory sectors read for one image, all trees together. A record takes at least 34 bytes, so
// this holds far more records than the member cap lets through; it ends a directory that claims
// gigabytes of empty sectors.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{64} << 20;
// Nesting of folders; the format allows 8, Rock Ridge relocation lifts that, real discs stay far
// below this.
constexpr int kMaxDepth = 256;
// Continuation areas of one record's System Use entries: a long name takes one or two.
constexpr int kMaxContinuations = 16;
// Runs of one interleaved file: each is a unit of one or more blocks.
constexpr std::size_t kMaxRuns = 1 << 16;
// The boot catalog is read this far: 255 entries of 32 bytes, more than any firmware menu.
constexpr std::size_t kMaxCatalogBytes = 8192;
constexpr std::size_t kSector = 2048;

} // namespace

// Walks the directory trees of one image and fills the archive's list.
class IsoTreeWalker {
public:
  explicit IsoTreeWalker(TAbIsoArchive& archive) : archive_(archive), image_(*archive.Stream()) {}

  void run();

private:
  struct Tree {
    iso::VolumeDescriptor vd;
    bool rockRidge = false;
    std::uint8_t skip = 0;
  };
  struct Directory {
    std::uint64_t offset = 0;
    std::optional<std::uint32_t> length; // from its own "." record when not known
    std::string path;
    int depth = 0;
  };

  bool readAt(std::uint64_t offset, std::span<std::byte> out);
  void note(const std::string& why) { archive_.NoteIncomplete(why); }
  void walk(Tree& tree);
  void detectRockRidge(Tree& tree);
  void readDirectory(const Tree& tree, const Directory& dir, std::deque<Directory>& queue,
                     std::vector<Directory>& relocated);
  iso::SystemUse systemUse(const Tree& tree, const iso::DirRecord& record);
  std::string nameOf(const Tree& tree, const iso::DirRecord& record, const iso::SystemUse& use);
  bool appendRuns(const Tree& tree, const iso::DirRecord& record, TAbImageItem& item);
  void add(std::unique_ptr<TAbImageItem> item);
  void addBootImages(const iso::VolumeDescriptor& boot);
  bool full() const { return archive_.MemberCount() >= TAbIsoArchive::kMaxMembers; }

  TAbIsoArchive& archive_;
  ByteSource& image_;
  std::uint64_t directoryBytes_ = 0;
  std::set<ExtentKey> listed_;
  bool firstTree_ = true;
};

bool IsoTreeWalker::readAt(std::uint64_t offset, std::span<std::byte> out) {
  return image_.seek(offset) && image_.readExact(out);
}

void IsoTreeWalker::run() {
  std::vector<Tree> primary, joliet, other;
  std::optional<iso::VolumeDescriptor> boot;
  std::vector<std::byte> sector(kSector);
  for (int i = 0; i < kMaxDescriptors; ++i) {
    if (!readAt(kVolumeAreaOffset + std::uint64_t(i) * kSector, sector))
      break;
    const auto vd = iso::parseVolumeDescriptor(sector);
    if (!vd || vd->type == iso::kTerminator)
      break;
    if (vd->type == iso::kBootRecord && vd->elTorito && !boot)
      boot = vd;
    // Block sizes are powers of two from 512 to the sector size.
    const bool sane = vd->blockSize >= 512 && vd->blockSize <= kSector &&
                      (vd->blockSize & (vd->blockSize - 1)) == 0 && vd->root;
    if (!sane)
      continue;
    (vd->type == iso::kPrimary ? primary : vd->joliet ? joliet : other).push_back(Tree{*vd});
  }
  if (primary.empty() && joliet.empty() && other.empty())
    throw EAbException("Not an ISO 9660 image", AbCode::Unknown, ErrorKind::BadHeader);
  for (Tree& tree : primary)
    detectRockRidge(tree);
  // Every tree is walked: a disc may show other files to systems that read another of its trees.
  // The first one walked gives the names: Rock Ridge's, else Joliet's, else the plain ones.
  std::vector<Tree*> order;
  const bool rockRidge = !primary.empty() && primary.front().rockRidge;
  for (auto* list :
       rockRidge ? std::array{&primary, &joliet, &other} : std::array{&joliet, &primary, &other})
    for (Tree& tree : *list)
      order.push_back(&tree);
  for (Tree* tree : order) {
    walk(*tree);
    firstTree_ = false;
  }
  if (boot)
    addBootImages(*boot);
}

void IsoTreeWalker::detectRockRidge(Tree& tree) {
  // The "." record of the root says whether System Use entries are in use (SP), and how many
  // bytes of each area to skip.
  const std::uint64_t root =
      (std::uint64_t{tree.vd.root->extent} + tree.vd.root->attributeBlocks) * tree.vd.blockSize;
  std::vector<std::byte> sector(kSector);
  if (!readAt(root, sector))
    return;
  const auto self = iso::parseDirRecord(sector);
  if (!self)
    return;
  iso::SystemUse use;
  iso::parseSystemUse(self->systemUse, use);
  tree.rockRidge = use.sharingProtocol;
  tree.skip = use.skip;
}

void IsoTreeWalker::walk(Tree& tree) {
  const iso::DirRecord& root = *tree.vd.root;
  std::deque<Directory> queue;
  std::vector<Directory> relocated;
  queue.push_back({(std::uint64_t{root.extent} + root.attributeBlocks) * tree.vd.blockSize,
                   root.dataLength, std::string(), 0});
  // A folder's place is read once per tree: a record pointing to itself or to an ancestor ends
  // there.
  std::unordered_set<std::uint64_t> visited;
  while (!queue.empty() || !relocated.empty()) {
    if (queue.empty()) {
      // Moved folders that no link reached are still read, under the folder that holds them.
      queue.push_back(relocated.back());
      relocated.pop_back();
    }
    const Directory dir = queue.front();
    queue.pop_front();
    if (!visited.insert(dir.offset).second)
      continue;
    if (full() || directoryBytes_ >= kMaxDirectoryBytes) {
      note(full() ? "more than " + std::to_string(TAbIsoArchive::kMaxMembers) + " files"
                  : "directories larger than " + std::to_string(kMaxDirectoryBytes) + " bytes");
      return;
    }
    readDirectory(tree, dir, queue, relocated);
  }
}

void IsoTreeWalker::readDirectory(const Tree& tree, const Directory& dir,
                                  std::deque<Directory>& queue, std::vector<Directory>& relocated) {
  std::vector<std::byte> sector(kSector);
  std::uint64_t length = dir.length.value_or(kSector);
  std::unique_ptr<TAbImageItem> open; // a file of several extents, still collecting them
  std::vector<std::byte> openNameBytes;
  const auto finish = [&] {
    if (open)
      add(std::move(open));
    open.reset();
  };
  for (std::uint64_t at = 0; at < length; at += kSector) {
    if (directoryBytes_ >= kMaxDirectoryBytes) {
      note("directories larger than " + std::to_string(kMaxDirectoryBytes) + " bytes");
      break;
    }
    directoryBytes_ += kSector;
    if (!readAt(dir.offset + at, sector)) {
      note("a directory runs past the end of the image");
      break;
    }
    // Records never cross a sector; a zero length byte ends the sector's records.
    for (std::size_t pos = 0; pos < kSector;) {
      const auto record = iso::parseDirRecord(std::span(sector).subspan(pos));
      if (!record)
        break;
      pos += record->recordLength;
      if (record->isSelfOrParent()) {
        if (at == 0 && pos == record->recordLength && !dir.length)
          length = record->dataLength; // a moved folder's length comes from its own record
        continue;
      }
      const iso::SystemUse use = systemUse(tree, *record);
      const std::string name = nameOf(tree, *record, use);
      if (record->isDirectory() || use.childLink) {
        finish();
        if (dir.depth + 1 >= kMaxDepth) {
          note("folders nested deeper than " + std::to_string(kMaxDepth));
          continue;
        }
        Directory child;
        child.path = dir.path + name + "/";
        child.depth = dir.depth + 1;
        if (use.childLink) {
          child.offset = std::uint64_t{*use.childLink} * tree.vd.blockSize;
        } else {
          child.offset =
              (std::uint64_t{record->extent} + record->attributeBlocks) * tree.vd.blockSize;
          child.length = record->dataLength;
        }
        (use.relocated ? relocated.emplace_back(child) : queue.emplace_back(child));
        continue;
      }
      // The parts of one file are records of the same name, all but the last flagged.
      const bool sameFile = open && std::equal(record->name.begin(), record->name.end(),
                                               openNameBytes.begin(), openNameBytes.end());
      if (!sameFile) {
        finish();
        open = std::make_unique<TAbImageItem>();
        open->FileName = dir.path + name;
        openNameBytes.assign(record->name.begin(), record->name.end());
      }
      if (!appendRuns(tree, *record, *open))
        open.reset();
      else if ((record->flags & iso::kFlagMultiExtent) == 0)
        finish();
    }
  }
  finish();
}

iso::SystemUse IsoTreeWalker::systemUse(const Tree& tree, const iso::DirRecord& record) {
  iso::SystemUse use;
  if (!tree.rockRidge || record.systemUse.size() < tree.skip)
    return use;
  iso::parseSystemUse(record.systemUse.subspan(tree.skip), use);
  std::vector<std::byte> area;
  for (int i = 0; i < kMaxContinuations && use.continuation; ++i) {
    const auto next = *use.continuation;
    use.continuation.reset();
    // An area lies inside one block.
    if (next.length == 0 || next.offset >= tree.vd.blockSize ||
        next.length > tree.vd.blockSize - next.offset)
      break;
    area.resize(next.length);
    if (!readAt(std::uint64_t{next.block} * tree.vd.blockSize + next.offset, area))
      break;
    iso::parseSystemUse(area, use);
  }
  return use;
}

std::string IsoTreeWalker::nameOf(const Tree& tree, const iso::DirRecord& record,
                                  const iso::SystemUse& use) {
  if (use.hasName)
    return safeComponent(platform::utf8ToCp1251(use.name));
  return safeComponent(tree.vd.joliet ? iso::jolietName(record.name) : iso::plainName(record.name));
}

bool IsoTreeWalker::appendRuns(const Tree& tree, const iso::DirRecord& record, TAbImageItem& item) {
  const std::uint64_t block = tree.vd.blockSize;
  std::uint64_t offset = (std::uint64_t{record.extent} + record.attributeBlocks) * block;
  std::uint64_t left = record.dataLength;
  item.UncompressedSize += left;
  item.CompressedSize = item.UncompressedSize;
  if (record.unitSize == 0) {
    if (left > 0)
      item.Extents.push_back({offset, left});
    return true;
  }
  // Interleaved: units of unitSize blocks with gapSize blocks between them.
  const std::uint64_t unit = record.unitSize * block;
  const std::uint64_t step = unit + record.gapSize * block;
  while (left > 0) {
    if (item.Extents.size() >= kMaxRuns) {
      note("an interleaved file of more than " + std::to_string(kMaxRuns) + " units");
      return false;
    }
    const std::uint64_t run = std::min(unit, left);
    item.Extents.push_back({offset, run});
    offset += step;
    left -= run;
  }
  return true;
}

void IsoTreeWalker::add(std::unique_ptr<TAbImageItem> item) {
  if (full()) {
    note("more than " + std::to_string(TAbIsoArchive::kMaxMembers) + " files");
    return;
  }
  const ExtentKey key = extentKey(*item);
  // Files without bytes have no place to tell them apart: they are listed from the first tree
  // only (they are never delivered anyway).
  if (key.empty() ? !firstTree_ : archive_.known_.count(key) != 0 || !listed_.insert(key).second)
    return;
  archive_.Items().Add(std::move(item));
}

void IsoTreeWalker::addBootImages(const iso::VolumeDescriptor& boot) {
  std::vector<std::byte> catalog(kMaxCatalogBytes);
  const std::uint64_t at = std::uint64_t{boot.bootCatalog} * kSector;
  if (at >= image_.size() || !image_.seek(at))
    return;
  catalog.resize(image_.read(catalog));
  const auto images = iso::parseBootCatalog(catalog);
  if (!images)
    return;
  int number = 0;
  for (const iso::BootImage& image : *images) {
    ++number;
    // Boot image blocks count in the disc's 2048-byte sectors, whatever the trees' block size.
    const std::uint64_t offset = std::uint64_t{image.block} * kSector;
    // An image that lies inside a file already listed is that file's start: not listed again.
    bool inside = false;
    for (int i = 0; i < archive_.MemberCount() && !inside; ++i)
      for (const ImageExtent& e : static_cast<TAbImageItem*>(archive_.MemberAt(i))->Extents)
        if (!e.zeros && offset >= e.offset && image.size <= e.length &&
            offset - e.offset <= e.length - image.size)
          inside = true;
    if (inside)
      continue;
    auto item = std::make_unique<TAbImageItem>();
    item->FileName = "boot-image-" + std::to_string(number) + ".img";
    item->Extents.push_back({offset, image.size});
    item->UncompressedSize = item->CompressedSize = image.size;
    add(std::move(item));
  }
}

void TAbIsoArchive::LoadArchiveItems() {
  ClearIncomplete();
  IsoTreeWalker(*this).run();
}

} // namespace kyv::archive
