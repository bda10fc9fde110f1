#include "chm/chm_unpacker.h"

#include <algorithm>
#include <limits>
#include <optional>

#include "base/endian.h"
#include "base/error.h"
#include "base/utf.h"
#include "chm/chm_format.h"
#include "chm/lzx_section.h"
#include "platform/file.h"

namespace kyv::chm {

namespace fmt = format;

namespace {

// Directory chunks of real files are 4 or 8 KB; a larger claim is a damaged header, and reading it
// would only cost memory.
constexpr std::uint32_t kMaxChunkSize = 1u << 20;
// LZX cannot expand one input byte into more than 1032 output bytes: the longest match (258
// bytes, counting the one length symbol past the format's own) costs at least a one-bit main
// code and a one-bit length code. What a section claims beyond that could not be decoded from
// its input.
constexpr std::uint64_t kLzxMaxExpansion = 1032;
constexpr std::uint64_t kLzxExpansionSlack = 65536;
constexpr std::size_t kCopyBlock = 64 * 1024;

bool startsWith(std::span<const std::byte> bytes, std::string_view magic) {
  return bytes.size() >= magic.size() &&
         std::equal(magic.begin(), magic.end(), bytes.begin(),
                    [](char c, std::byte b) { return static_cast<std::byte>(c) == b; });
}

bool isBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

// Variable-length integer of a directory entry: seven bits per byte, most significant group first,
// a clear top bit ends the number. Bounded by the chunk: nullopt when the bytes run out first.
struct EncInt {
  std::uint64_t value = 0;
  bool tooLarge = false;
};
std::optional<EncInt> readEncInt(std::span<const std::byte> chunk, std::size_t& pos) {
  EncInt r;
  while (pos < chunk.size()) {
    const unsigned b = std::to_integer<unsigned>(chunk[pos++]);
    if (r.value > (std::numeric_limits<std::uint64_t>::max() >> 7))
      r.tooLarge = true;
    r.value = (r.value << 7) | (b & 0x7Fu);
    if ((b & 0x80u) == 0)
      return r;
  }
  return std::nullopt;
}

std::int32_t windowBitsFor(std::uint32_t units) {
  for (std::int32_t bits = 15; bits <= 21; ++bits)
    if (units == (1u << (bits - 15)))
      return bits;
  return -1;
}

} // namespace

std::string chmNameKey(std::string_view name) {
  std::string key(trimmed(name));
  for (char& c : key)
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
  return key;
}

std::string utf16ToUtf8(std::span<const std::byte> units) {
  std::u16string text(units.size() / 2, u'\0');
  for (std::size_t i = 0; i < text.size(); ++i)
    text[i] = static_cast<char16_t>(loadLe16(units.data() + 2 * i));
  return kyv::utf16ToUtf8(text);
}

TCHMUnpacker::TCHMUnpacker() = default;
TCHMUnpacker::~TCHMUnpacker() = default;

bool TCHMUnpacker::Open() {
  auto source = platform::FileSource::open(FileName);
  if (!source)
    throw Error(ErrorKind::Io, "Cannot open file \"" + FileName + "\"");
  return Open(std::move(source));
}

bool TCHMUnpacker::Open(std::unique_ptr<ByteSource> source) {
  decoder_.reset(); // it reads the old source
  items_.clear();
  sections_.clear();
  index_.clear();
  contentOffset_ = 0;
  stream_ = std::move(source);
  if (!stream_)
    return false;
  if (!readHeaders())
    return false;
  return ReadSections();
}

bool TCHMUnpacker::readHeaders() {
  ByteSource& in = *stream_;
  if (!in.seek(0) || !in.readExact(fileHeader_) || !startsWith(fileHeader_, fmt::kFileSignature))
    return false;
  if (!in.seek(fmt::kSectionTableOffset) || !in.readExact(sectionTable_))
    return false;

  const std::int64_t headerLength = loadLe32(fileHeader_.data() + fmt::kHeaderLengthOffset);
  const auto fileSize = static_cast<std::int64_t>(in.size());
  const auto section0 = static_cast<std::int64_t>(loadLe64(sectionTable_.data()));
  const auto section1 =
      static_cast<std::int64_t>(loadLe64(sectionTable_.data() + fmt::kSectionEntrySize));
  for (const std::int64_t offset : {section0, section1})
    if (offset < headerLength || offset > fileSize)
      return false;

  // Header section 0 is read for completeness; nothing in it is needed.
  if (!in.seek(static_cast<std::uint64_t>(section0)) || !in.readExact(headerSection0_))
    return false;
  if (!in.seek(static_cast<std::uint64_t>(section1)) || !in.readExact(directoryHeader_) ||
      !startsWith(directoryHeader_, fmt::kDirectorySignature))
    return false;

  readDirectory(
      static_cast<std::uint64_t>(section1) + fmt::kDirectoryHeaderSize,
      loadLe32(directoryHeader_.data() + fmt::kDirChunkSizeOffset),
      static_cast<std::int32_t>(loadLe32(directoryHeader_.data() + fmt::kDirChunkCountOffset)));

  std::array<std::byte, 4> content{};
  if (!in.seek(fmt::kContentOffsetField) || !in.readExact(content))
    return false;
  contentOffset_ = loadLe32(content.data());
  return true;
}

// Walks the chunks that follow the directory header. Whatever the header claims, the walk ends at
// the end of the file, and a chunk too small to hold its own header means there is no directory.
void TCHMUnpacker::readDirectory(std::uint64_t firstChunk, std::uint32_t chunkSize,
                                 std::int32_t chunkCount) {
  ByteSource& in = *stream_;
  if (chunkCount <= 0 || chunkSize < fmt::kChunkHeaderSize || chunkSize > kMaxChunkSize)
    return;
  std::vector<std::byte> chunk(chunkSize);
  for (std::int32_t c = 0; c < chunkCount; ++c) {
    const std::uint64_t start = firstChunk + static_cast<std::uint64_t>(c) * chunkSize;
    if (start >= in.size() || !in.seek(start))
      break;
    std::size_t got = 0;
    while (got < chunk.size()) {
      const std::size_t n = in.read(std::span<std::byte>(chunk).subspan(got));
      if (n == 0)
        break;
      got += n;
    }
    if (got < fmt::kChunkHeaderSize)
      break;
    const std::span<const std::byte> bytes(chunk.data(), got);
    if (!startsWith(bytes, fmt::kListingSignature))
      continue; // an index chunk or anything else: not a list of entries
    const std::uint32_t freeSpace = loadLe32(bytes.data() + fmt::kChunkFreeSpaceOffset);
    if (freeSpace > chunkSize - fmt::kChunkHeaderSize)
      continue;
    readListingChunk(bytes, std::min<std::size_t>(chunkSize - freeSpace, got));
  }
  for (std::size_t i = 0; i < items_.size(); ++i)
    index_.emplace(chmNameKey(items_[i].Name), static_cast<int>(i));
}

// Entries start before entriesEnd (where the free space begins); the last one may run into the
// free space, never past the chunk.
void TCHMUnpacker::readListingChunk(std::span<const std::byte> chunk, std::size_t entriesEnd) {
  std::size_t pos = fmt::kChunkHeaderSize;
  while (pos < entriesEnd) {
    const auto nameLength = readEncInt(chunk, pos);
    if (!nameLength || nameLength->tooLarge || nameLength->value == 0 ||
        nameLength->value > fmt::kMaxNameLength)
      return;
    const auto length = static_cast<std::size_t>(nameLength->value);
    if (!inRange(chunk.size(), pos, length))
      return;
    TCHMDirItem item;
    item.Name.assign(reinterpret_cast<const char*>(chunk.data() + pos), length);
    pos += length;
    const auto section = readEncInt(chunk, pos);
    const auto offset = section ? readEncInt(chunk, pos) : std::nullopt;
    const auto size = offset ? readEncInt(chunk, pos) : std::nullopt;
    if (!size)
      return;
    // Fields are 32 bits wide; an entry with a larger value cannot be addressed and is left out
    // rather than read from the wrong place.
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
    if (section->tooLarge || offset->tooLarge || size->tooLarge || section->value > kMax ||
        offset->value > kMax || size->value > kMax)
      continue;
    item.Section = static_cast<std::uint32_t>(section->value);
    item.Offset = static_cast<std::uint32_t>(offset->value);
    item.Length = static_cast<std::uint32_t>(size->value);
    items_.push_back(std::move(item));
  }
}

int TCHMUnpacker::FindItem(std::string_view name) const {
  const auto it = index_.find(chmNameKey(name));
  return it == index_.end() ? -1 : it->second;
}

bool TCHMUnpacker::ReadSections() {
  sections_.clear();
  const int nameList = FindItem(fmt::kNameListEntry);
  if (nameList < 0)
    return false;
  ByteSource& in = *stream_;
  std::array<std::byte, 4> head{};
  if (!in.seek(std::uint64_t{contentOffset_} + items_[static_cast<std::size_t>(nameList)].Offset) ||
      !in.readExact(head))
    return false;
  const std::uint16_t count = loadLe16(head.data() + 2);
  if (count > fmt::kMaxSectionNames)
    return false;

  std::vector<std::string> names;
  for (unsigned k = 0; k < count; ++k) {
    std::array<std::byte, 2> lengthField{};
    if (!in.readExact(lengthField))
      return false;
    const std::uint16_t units = loadLe16(lengthField.data());
    std::vector<std::byte> text(2 * std::size_t{units} + 2);
    if (!in.readExact(text))
      return false;
    std::string name = utf16ToUtf8(std::span<const std::byte>(text).first(2 * std::size_t{units}));
    // The name is kept to as many bytes as it had UTF-16 units, cut at a character boundary.
    if (name.size() > units) {
      std::size_t cut = units;
      while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
      name.resize(cut);
    }
    names.emplace_back(trimmed(name));
  }

  for (unsigned k = 0; k < names.size(); ++k) {
    TCHMSection section;
    section.Name = names[k];
    if (k == 0) {
      section.Offset = contentOffset_;
      section.Method = "Not compressed";
      sections_.push_back(std::move(section));
    } else {
      section.Compressed = true;
      section.Method = "?";
      sections_.push_back(std::move(section));
      readSectionInfo(sections_.back());
    }
  }
  return true;
}

void TCHMUnpacker::readSectionInfo(TCHMSection& section) {
  const std::string storage = std::string(fmt::kStoragePrefix) + section.Name;
  if (const int content = FindItem(storage + std::string(fmt::kContentSuffix)); content >= 0)
    section.Offset =
        std::uint64_t{contentOffset_} + items_[static_cast<std::size_t>(content)].Offset;

  std::array<std::byte, fmt::kControlWindowOffset + 4> control{};
  if (readEntryHead(storage + std::string(fmt::kControlDataSuffix), control)) {
    section.Method.assign(
        reinterpret_cast<const char*>(control.data() + fmt::kControlSignatureOffset), 4);
    section.WindowBits = windowBitsFor(loadLe32(control.data() + fmt::kControlWindowOffset));
  }
  std::array<std::byte, fmt::kResetCompressedOffset + 4> reset{};
  if (readEntryHead(storage + std::string(fmt::kResetTableSuffix), reset)) {
    section.UncompressedLength = loadLe32(reset.data() + fmt::kResetUncompressedOffset);
    section.CompressedLength = loadLe32(reset.data() + fmt::kResetCompressedOffset);
  }
}

// The first out.size() bytes of a bookkeeping entry, which must lie in the uncompressed section.
bool TCHMUnpacker::readEntryHead(const std::string& entryName, std::span<std::byte> out) {
  const int index = FindItem(entryName);
  if (index < 0)
    return false;
  const TCHMDirItem& item = items_[static_cast<std::size_t>(index)];
  if (item.Section >= sections_.size() || sections_[item.Section].Compressed ||
      item.Length < out.size())
    return false;
  return stream_->seek(sections_[item.Section].Offset + item.Offset) && stream_->readExact(out);
}

bool TCHMUnpacker::copyFromFile(ByteSink& out, std::uint64_t offset, std::uint32_t length) {
  std::vector<std::byte> block(std::min<std::size_t>(length, kCopyBlock));
  if (length > 0 && !stream_->seek(offset))
    throw Error(ErrorKind::UnexpectedEnd, "CHM item data lies past the end of the file");
  std::uint32_t remaining = length;
  while (remaining > 0) {
    const std::span<std::byte> part(block.data(), std::min<std::size_t>(remaining, block.size()));
    const std::size_t got = stream_->read(part);
    if (got > 0 && !out.write(part.first(got)))
      return false;
    if (got < part.size())
      throw Error(ErrorKind::UnexpectedEnd, "CHM item data runs past the end of the file");
    remaining -= static_cast<std::uint32_t>(got);
  }
  return true;
}

bool TCHMUnpacker::ExtractItem(ByteSink& out, const TCHMDirItem& item) {
  if (item.Section >= sections_.size())
    return false;
  const TCHMSection& s = sections_[item.Section];
  if (!s.Compressed)
    return copyFromFile(out, s.Offset + item.Offset, item.Length);
  if (s.Method != fmt::kLzxMethod || s.WindowBits < 0 || s.UncompressedLength == 0 ||
      s.CompressedLength == 0)
    return false;
  // An item reaching past the decoded section gets the part that lies inside it.
  return sectionDecoder(item.Section)->copy(out, item.Offset, item.Length);
}

LzxSection* TCHMUnpacker::sectionDecoder(std::uint32_t index) {
  if (decoder_ && decoderSection_ == index)
    return decoder_.get();
  decoder_.reset();
  const TCHMSection& s = sections_[index];
  const std::uint64_t available = s.Offset < stream_->size() ? stream_->size() - s.Offset : 0;
  const std::uint64_t input = std::min<std::uint64_t>(s.CompressedLength, available);
  const std::uint64_t decoded =
      std::min(std::uint64_t{s.UncompressedLength}, input * kLzxMaxExpansion + kLzxExpansionSlack);
  decoder_ = std::make_unique<LzxSection>(
      *stream_, s.Offset, input, decoded, s.WindowBits,
      [this](std::uint64_t bytes) { return !DecodeGate || DecodeGate(bytes); });
  decoderSection_ = index;
  return decoder_.get();
}

std::vector<std::size_t> TCHMUnpacker::ItemsInStreamOrder() const {
  std::vector<std::size_t> order(items_.size());
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = i;
  const auto key = [this](std::size_t i) {
    const TCHMDirItem& item = items_[i];
    const bool compressed = item.Section < sections_.size() && sections_[item.Section].Compressed;
    return compressed ? std::pair<std::uint32_t, std::uint32_t>{item.Section, item.Offset}
                      : std::pair<std::uint32_t, std::uint32_t>{0, 0};
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return key(a) < key(b); });
  return order;
}

std::size_t TCHMUnpacker::DecoderMemory() const { return decoder_ ? decoder_->memoryHeld() : 0; }

} // namespace kyv::chm
