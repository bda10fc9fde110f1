#include "cfb_writer.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kyv::test {

namespace {
constexpr std::uint32_t kEnd = 0xFFFFFFFE;
constexpr std::uint32_t kFree = 0xFFFFFFFF;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
constexpr std::size_t kCutoff = 4096;

std::string le32(std::uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
std::string upper(std::string s) {
  for (char& c : s)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
std::string padded(std::string s, std::size_t unit) {
  s.resize((s.size() + unit - 1) / unit * unit, '\0');
  return s;
}
} // namespace

CfbWriter::CfbWriter(unsigned sectorShift) : shift_(sectorShift) {
  if (shift_ != 9 && shift_ != 12)
    throw std::invalid_argument("sector shift 9 or 12");
  Node root;
  root.name = "Root Entry";
  root.type = 5;
  entries_.push_back(root);
}

std::uint32_t CfbWriter::AddStorage(std::uint32_t parent, const std::string& name) {
  Node node;
  node.name = name;
  node.type = 1;
  entries_.push_back(node);
  const auto id = static_cast<std::uint32_t>(entries_.size() - 1);
  entries_.at(parent).children.push_back(id);
  return id;
}

std::uint32_t CfbWriter::AddStream(std::uint32_t parent, const std::string& name,
                                   std::string data) {
  Node node;
  node.name = name;
  node.type = 2;
  node.data = std::move(data);
  entries_.push_back(node);
  const auto id = static_cast<std::uint32_t>(entries_.size() - 1);
  entries_.at(parent).children.push_back(id);
  return id;
}

// A balanced tree over the children sorted as the format sorts names: shorter first, then by
// their upper-case form.
std::uint32_t CfbWriter::Tree(std::vector<std::uint32_t>& sorted, std::size_t lo, std::size_t hi) {
  if (lo >= hi)
    return kFree;
  const std::size_t mid = lo + (hi - lo) / 2;
  Node& node = entries_[sorted[mid]];
  node.left = Tree(sorted, lo, mid);
  entries_[sorted[mid]].right = Tree(sorted, mid + 1, hi);
  return sorted[mid];
}

std::string CfbWriter::Build() {
  const std::uint32_t ss = 1u << shift_;
  for (Node& node : entries_) {
    if (node.type == 2)
      continue;
    std::vector<std::uint32_t> sorted = node.children;
    std::sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
      const std::string& x = entries_[a].name;
      const std::string& y = entries_[b].name;
      return x.size() != y.size() ? x.size() < y.size() : upper(x) < upper(y);
    });
    const std::uint32_t top = Tree(sorted, 0, sorted.size());
    node.child = top; // entries_ is not resized by Tree, so the reference stays good
  }
  // Small streams into the mini stream, 64 bytes a sector.
  std::string mini;
  std::vector<std::uint32_t> miniFat;
  for (Node& node : entries_) {
    if (node.type != 2)
      continue;
    node.size = node.data.size();
    if (node.data.empty() || node.data.size() >= kCutoff)
      continue;
    const auto n = static_cast<std::uint32_t>((node.data.size() + 63) / 64);
    node.start = static_cast<std::uint32_t>(miniFat.size());
    for (std::uint32_t k = 0; k < n; ++k)
      miniFat.push_back(k + 1 < n ? node.start + k + 1 : kEnd);
    mini += padded(node.data, 64);
  }
  std::string body;
  std::vector<std::uint32_t> fat;
  const auto place = [&](const std::string& bytes) -> std::uint32_t {
    if (bytes.empty())
      return kEnd;
    const auto start = static_cast<std::uint32_t>(fat.size());
    const auto n = static_cast<std::uint32_t>((bytes.size() + ss - 1) / ss);
    for (std::uint32_t k = 0; k < n; ++k)
      fat.push_back(k + 1 < n ? start + k + 1 : kEnd);
    body += padded(bytes, ss);
    return start;
  };
  entries_[kRoot].start = place(mini);
  entries_[kRoot].size = mini.size();
  for (Node& node : entries_)
    if (node.type == 2 && node.data.size() >= kCutoff)
      node.start = place(node.data);
  std::string dir;
  for (const Node& node : entries_) {
    std::string e(128, '\0');
    const std::string name = Utf16(node.name);
    e.replace(0, std::min<std::size_t>(name.size(), 64), name.substr(0, 64));
    Put16(e, 64, static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), 64)));
    e[66] = static_cast<char>(node.type);
    e[67] = 1; // black
    Put32(e, 68, node.left);
    Put32(e, 72, node.right);
    Put32(e, 76, node.child);
    Put32(e, 116, node.type == 1 ? 0 : node.start);
    Put32(e, 120, static_cast<std::uint32_t>(node.size));
    Put32(e, 124, static_cast<std::uint32_t>(node.size >> 32));
    dir += e;
  }
  std::string unused(128, '\0');
  Put32(unused, 68, kFree);
  Put32(unused, 72, kFree);
  Put32(unused, 76, kFree);
  while (dir.size() % ss != 0)
    dir += unused;
  dirStart_ = place(dir);
  std::string miniFatBytes;
  for (const std::uint32_t v : miniFat)
    miniFatBytes += le32(v);
  while (miniFatBytes.size() % ss != 0)
    miniFatBytes += le32(kFree);
  miniFatStart_ = place(miniFatBytes);
  // The FAT covers every sector, its own and the DIFAT's included.
  const std::uint32_t perSector = ss / 4;
  const auto data = static_cast<std::uint32_t>(fat.size());
  std::uint32_t nFat = 0, nDifat = 0;
  for (;;) {
    const std::uint32_t total = data + nFat + nDifat;
    const std::uint32_t needFat = (total + perSector - 1) / perSector;
    const std::uint32_t needDifat =
        needFat > 109 ? (needFat - 109 + perSector - 2) / (perSector - 1) : 0;
    if (needFat == nFat && needDifat == nDifat)
      break;
    nFat = needFat;
    nDifat = needDifat;
  }
  fatSectors_.clear();
  difatSectors_.clear();
  for (std::uint32_t k = 0; k < nFat; ++k) {
    fatSectors_.push_back(data + k);
    fat.push_back(kFatSect);
  }
  for (std::uint32_t k = 0; k < nDifat; ++k) {
    difatSectors_.push_back(data + nFat + k);
    fat.push_back(kDifSect);
  }
  fat.resize(std::size_t{nFat} * perSector, kFree);
  for (const std::uint32_t v : fat)
    body += le32(v);
  for (std::uint32_t k = 0; k < nDifat; ++k) {
    std::string sector;
    for (std::uint32_t j = 0; j + 1 < perSector; ++j) {
      const std::size_t index = 109 + std::size_t{k} * (perSector - 1) + j;
      sector += le32(index < fatSectors_.size() ? fatSectors_[index] : kFree);
    }
    sector += le32(k + 1 < nDifat ? difatSectors_[k + 1] : kEnd);
    body += sector;
  }
  std::string header(512, '\0');
  header.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  Put16(header, 24, 0x003E);
  Put16(header, 26, shift_ == 9 ? 3 : 4);
  Put16(header, 28, 0xFFFE);
  Put16(header, 30, static_cast<std::uint16_t>(shift_));
  Put16(header, 32, 6);
  Put32(header, 40, shift_ == 9 ? 0 : static_cast<std::uint32_t>(dir.size() / ss));
  Put32(header, 44, nFat);
  Put32(header, 48, dirStart_);
  Put32(header, 56, static_cast<std::uint32_t>(kCutoff));
  Put32(header, 60, miniFatStart_);
  Put32(header, 64, static_cast<std::uint32_t>(miniFatBytes.size() / ss));
  Put32(header, 68, nDifat > 0 ? difatSectors_[0] : kEnd);
  Put32(header, 72, nDifat);
  for (std::size_t i = 0; i < 109; ++i)
    Put32(header, 76 + 4 * i, i < fatSectors_.size() ? fatSectors_[i] : kFree);
  header.resize(ss, '\0');
  return header + body;
}

std::size_t CfbWriter::EntryOffset(std::uint32_t id) const {
  return SectorOffset(dirStart_) + std::size_t{id} * 128; // the directory is written in one run
}

std::size_t CfbWriter::FatEntryOffset(std::uint32_t sector) const {
  const std::uint32_t perSector = (1u << shift_) / 4;
  return SectorOffset(fatSectors_.at(sector / perSector)) + 4 * (sector % perSector);
}

std::size_t CfbWriter::MiniFatEntryOffset(std::uint32_t miniSector) const {
  return SectorOffset(miniFatStart_) + 4 * std::size_t{miniSector}; // also written in one run
}

void CfbWriter::Put16(std::string& file, std::size_t at, std::uint16_t value) {
  file.at(at) = static_cast<char>(value);
  file.at(at + 1) = static_cast<char>(value >> 8);
}

void CfbWriter::Put32(std::string& file, std::size_t at, std::uint32_t value) {
  Put16(file, at, static_cast<std::uint16_t>(value));
  Put16(file, at + 2, static_cast<std::uint16_t>(value >> 16));
}

std::uint32_t CfbWriter::Get32(const std::string& file, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(file.at(at + static_cast<std::size_t>(i)));
  return v;
}

std::string CfbWriter::Utf16(const std::string& ascii, bool terminated) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  if (terminated)
    out += std::string(2, '\0');
  return out;
}

} // namespace kyv::test
