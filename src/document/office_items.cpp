#include "document/office_items.h"

#include <string_view>

#include "base/endian.h"
#include "base/text.h"
#include "codec/ovba.h"
#include "document/ole1_object.h"
#include "document/ppt_objects.h"
#include "document/vba_project.h"

namespace kyv::document {

namespace {

constexpr std::string_view kOle10Native = "\x01Ole10Native";
constexpr std::string_view kPowerPointDocument = "PowerPoint Document";
constexpr std::size_t kNativeSizeField = 4;

std::string displayName(const std::string& name) {
  std::string shown;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20)
      shown += "[" + std::to_string(u) + "]";
    else
      shown.push_back(c);
  }
  return shown;
}

class Lister {
public:
  explicit Lister(TCompoundFile& file) : file_(file) {}

  TOfficeListing Run() {
    // Storages are taken from a stack of their own: each is reached once in the directory's
    // tree, so the stack is bounded by the directory, however deep storages nest.
    std::vector<std::pair<std::uint32_t, std::string>> storages{{TCompoundFile::kRootId, ""}};
    while (!storages.empty()) {
      const auto [storage, prefix] = storages.back();
      storages.pop_back();
      const auto& children = file_.Children(storage);
      for (const std::uint32_t id : children)
        if (file_.Entry(id).Type == TCfbType::Stream)
          AddStream(id, prefix + displayName(file_.NameOf(id)));
      AddModules(storage, prefix);
      for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (file_.Entry(*it).Type == TCfbType::Storage)
          storages.emplace_back(*it, prefix + displayName(file_.NameOf(*it)) + "/");
    }
    return std::move(listing_);
  }

private:
  void AddStream(std::uint32_t id, const std::string& path) {
    const TCfbEntry& entry = file_.Entry(id);
    if (entry.Size == 0)
      return;
    const std::string name = file_.NameOf(id);
    if (EqualsIgnoreAsciiCase(name, kOle10Native) && AddPackage(id, path))
      return;
    listing_.Items.push_back({TOfficeItem::TKind::Stream, path, id});
    if (EqualsIgnoreAsciiCase(name, kPowerPointDocument)) {
      TCfbStream stream = file_.OpenStream(id);
      std::size_t n = 0;
      for (const TPptObject& object : FindPptObjects(stream))
        listing_.Items.push_back({TOfficeItem::TKind::PptObject,
                                  path + "/Object" + std::to_string(++n), id, object.Offset,
                                  object.Length, object.Compressed});
    }
  }

  bool AddPackage(std::uint32_t id, const std::string& path) {
    const std::vector<std::byte> head = file_.ReadPrefix(id, kNativeSizeField + kMaxOle1Header);
    if (head.size() < kNativeSizeField)
      return false;
    const std::uint64_t streamSize = file_.OpenStream(id).size();
    const std::uint64_t nativeSize = std::min<std::uint64_t>(
        loadLe32(head.data()), streamSize - std::min(streamSize, std::uint64_t{kNativeSizeField}));
    const auto package = ParsePackage(std::span(head).subspan(kNativeSizeField), nativeSize);
    if (!package)
      return false;
    std::string name = PackageFileName(*package);
    listing_.Items.push_back({TOfficeItem::TKind::Package, name.empty() ? path : std::move(name),
                              id, kNativeSizeField + package->DataOffset, package->DataSize});
    return true;
  }

  void AddModules(std::uint32_t storage, const std::string& prefix) {
    if (!IsVbaStorage(file_, storage))
      return;
    const TVbaProject project = ReadVbaProject(file_, storage);
    if (project.DirDamaged)
      listing_.DamagedProjects.push_back(prefix.empty() ? std::string("/")
                                                        : prefix.substr(0, prefix.size() - 1));
    for (const TVbaModule& module : project.Modules)
      listing_.Items.push_back({TOfficeItem::TKind::VbaModule,
                                prefix + displayName(module.Name) + ".vba", module.Stream,
                                module.TextOffset});
  }

  TCompoundFile& file_;
  TOfficeListing listing_;
};

TOfficeWrite writeVbaSource(TCfbStream& stream, std::uint64_t offset, ByteSink& sink) {
  if (!stream.seek(offset))
    return TOfficeWrite::Damaged;
  codec::OvbaDecoder decoder(sink);
  std::uint64_t copied = 0;
  (void)copyAll(stream, decoder, copied);
  switch (decoder.finish()) {
  case codec::OvbaStatus::Ok:
    return TOfficeWrite::Complete;
  case codec::OvbaStatus::WriteRefused:
    return TOfficeWrite::SinkRefused;
  default:
    return TOfficeWrite::Damaged;
  }
}

} // namespace

TOfficeListing ListOfficeItems(TCompoundFile& file) { return Lister(file).Run(); }

TCfbStream& TOfficeItemWriter::Stream(std::uint32_t entry) {
  if (!open_ || openEntry_ != entry) {
    open_.reset();
    open_.emplace(file_.OpenStream(entry));
    openEntry_ = entry;
  }
  return *open_;
}

TOfficeWrite TOfficeItemWriter::Write(const TOfficeItem& item, ByteSink& sink) {
  switch (item.Kind) {
  case TOfficeItem::TKind::Stream:
    switch (file_.ReadStream(item.Entry, sink)) {
    case TCfbRead::Complete:
      return TOfficeWrite::Complete;
    case TCfbRead::Short:
      return TOfficeWrite::Damaged;
    case TCfbRead::SinkRefused:
      return TOfficeWrite::SinkRefused;
    }
    return TOfficeWrite::Damaged;
  case TOfficeItem::TKind::Package: {
    SubRangeSource data(Stream(item.Entry), item.Offset, item.Length);
    std::uint64_t copied = 0;
    if (!copyAll(data, sink, copied))
      return TOfficeWrite::SinkRefused;
    return copied == item.Length ? TOfficeWrite::Complete : TOfficeWrite::Damaged;
  }
  case TOfficeItem::TKind::VbaModule:
    return writeVbaSource(Stream(item.Entry), item.Offset, sink);
  case TOfficeItem::TKind::PptObject:
    switch (WritePptObject(Stream(item.Entry), {item.Offset, item.Length, item.Compressed}, sink)) {
    case TPptWrite::Complete:
      return TOfficeWrite::Complete;
    case TPptWrite::Damaged:
      return TOfficeWrite::Damaged;
    case TPptWrite::SinkRefused:
      return TOfficeWrite::SinkRefused;
    }
  }
  return TOfficeWrite::Damaged;
}

} // namespace kyv::document
