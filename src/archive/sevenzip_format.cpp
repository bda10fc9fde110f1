#include "archive/sevenzip_format.h"

#include <algorithm>
#include <cstring>

#include "archive/ab_exception.h"
#include "base/endian.h"
#include "base/utf.h"
#include "codec/checksum.h"

namespace kyv::archive::sevenzip {

namespace {

[[noreturn]] void bad(const std::string& what) {
  throw EAbException("7z header: " + what, AbCode::Unknown, ErrorKind::BadHeader);
}

// Reads the header's fields front to back; every read is checked against what is left.
class Cursor {
public:
  explicit Cursor(std::span<const std::byte> bytes) : bytes_(bytes) {}

  std::size_t left() const { return bytes_.size() - pos_; }
  bool atEnd() const { return pos_ == bytes_.size(); }

  std::uint8_t byte() {
    need(1);
    return std::to_integer<std::uint8_t>(bytes_[pos_++]);
  }
  std::span<const std::byte> take(std::uint64_t n) {
    need(n);
    const auto out = bytes_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return out;
  }
  std::uint32_t u32() { return loadLe32(take(4).data()); }
  std::uint64_t u64() { return loadLe64(take(8).data()); }

  // The variable-length number: the count of leading one bits of the first byte says how many
  // bytes follow (little-endian); the first byte's remaining bits are the top of the value.
  std::uint64_t number() {
    const std::uint8_t first = byte();
    std::uint8_t mask = 0x80;
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) {
        const std::uint64_t high = first & (mask - 1u);
        return value | (high << (8 * i));
      }
      value |= std::uint64_t{byte()} << (8 * i);
      mask = static_cast<std::uint8_t>(mask >> 1);
    }
    return value;
  }
  // A number that counts things each taking at least one byte of what is left, and no more than
  // cap: a count the header cannot hold is refused before anything is sized by it.
  std::size_t count(std::uint64_t cap, const char* what) {
    const std::uint64_t n = number();
    if (n > cap || n > left())
      bad(std::string("implausible count of ") + what);
    return static_cast<std::size_t>(n);
  }
  std::uint32_t small(std::uint64_t cap, const char* what) {
    const std::uint64_t n = number();
    if (n > cap)
      bad(std::string("implausible ") + what);
    return static_cast<std::uint32_t>(n);
  }
  void expect(std::uint8_t id, const char* what) {
    if (byte() != id)
      bad(std::string("expected ") + what);
  }

private:
  void need(std::uint64_t n) const {
    if (n > left())
      bad("ends inside a field");
  }
  std::span<const std::byte> bytes_;
  std::size_t pos_ = 0;
};

// A bit vector of n entries, most significant bit first.
std::vector<bool> bits(Cursor& c, std::size_t n) {
  std::vector<bool> out(n);
  std::uint8_t current = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % 8 == 0)
      current = c.byte();
    out[i] = (current & (0x80 >> (i % 8))) != 0;
  }
  return out;
}
std::vector<bool> optionalBits(Cursor& c, std::size_t n) {
  if (c.byte() != 0)
    return std::vector<bool>(n, true);
  return bits(c, n);
}

std::vector<std::optional<std::uint32_t>> digests(Cursor& c, std::size_t n) {
  if (n > c.left())
    bad("digest count past the header");
  const auto defined = optionalBits(c, n);
  std::vector<std::optional<std::uint32_t>> out(n);
  for (std::size_t i = 0; i < n; ++i)
    if (defined[i])
      out[i] = c.u32();
  return out;
}

void parsePackInfo(Cursor& c, StreamsInfo& s) {
  s.packPos = c.number();
  const std::size_t n = c.count(c.left(), "packed streams");
  s.packSizes.assign(n, 0);
  for (std::uint8_t id = c.byte(); id != Id::End; id = c.byte()) {
    if (id == Id::Size) {
      for (auto& size : s.packSizes)
        size = c.number();
    } else if (id == Id::Crc) {
      (void)digests(c, n); // the folders' own checks cover the data
    } else {
      bad("unknown property in the pack info");
    }
  }
}

Coder parseCoder(Cursor& c) {
  Coder coder;
  const std::uint8_t flags = c.byte();
  if (flags & 0x80)
    bad("alternative coder methods");
  const auto idSize = static_cast<std::size_t>(flags & 0x0F);
  for (const std::byte b : c.take(idSize))
    coder.id.push_back(std::to_integer<std::uint8_t>(b));
  if (flags & 0x10) {
    coder.numIn = c.small(kMaxCoderStreams, "coder input count");
    coder.numOut = c.small(kMaxCoderStreams, "coder output count");
    if (coder.numIn == 0 || coder.numOut == 0)
      bad("a coder without streams");
  }
  if (flags & 0x20) {
    const std::uint64_t size = c.number();
    if (size > kMaxPropsSize)
      bad("coder properties too large");
    const auto props = c.take(size);
    coder.props.assign(props.begin(), props.end());
  }
  return coder;
}

// Checks that the coders, bind pairs and packed streams make one tree with one output.
void checkFolderShape(const Folder& f) {
  const std::uint32_t ins = f.totalIn(), outs = f.totalOut();
  std::vector<bool> inBound(ins), outBound(outs);
  for (const BindPair& bp : f.bindPairs) {
    if (bp.in >= ins || bp.out >= outs || inBound[bp.in] || outBound[bp.out])
      bad("bad bind pair");
    inBound[bp.in] = true;
    outBound[bp.out] = true;
  }
  for (const std::uint32_t p : f.packedInputs) {
    if (p >= ins || inBound[p])
      bad("bad packed stream index");
    inBound[p] = true;
  }
  if (std::find(inBound.begin(), inBound.end(), false) != inBound.end())
    bad("a coder input fed by nothing");
  // A cycle shows as a coder reached again on the way down from the main output.
  std::vector<int> state(f.coders.size()); // 0 new, 1 on the path, 2 done
  auto visit = [&](auto& self, std::uint32_t coder) -> void {
    if (state[coder] == 1)
      bad("bind pairs form a cycle");
    if (state[coder] == 2)
      bad("a coder output used twice");
    state[coder] = 1;
    const std::uint32_t first = f.firstIn(coder);
    for (std::uint32_t k = 0; k < f.coders[coder].numIn; ++k)
      if (const auto out = f.bindForIn(first + k))
        self(self, f.coderOfOut(*out));
    state[coder] = 2;
  };
  visit(visit, f.coderOfOut(f.mainOutput));
  if (std::find(state.begin(), state.end(), 0) != state.end())
    bad("a coder whose output goes nowhere");
}

Folder parseFolder(Cursor& c) {
  Folder f;
  const std::size_t numCoders = c.count(kMaxCoders, "coders");
  if (numCoders == 0)
    bad("a folder without coders");
  std::uint64_t ins = 0, outs = 0;
  for (std::size_t i = 0; i < numCoders; ++i) {
    f.coders.push_back(parseCoder(c));
    ins += f.coders.back().numIn;
    outs += f.coders.back().numOut;
  }
  if (ins > kMaxFolderStreams || outs > kMaxFolderStreams)
    bad("too many coder streams");
  f.bindPairs.resize(static_cast<std::size_t>(outs - 1));
  for (BindPair& bp : f.bindPairs) {
    bp.in = c.small(ins, "bind pair input");
    bp.out = c.small(outs, "bind pair output");
  }
  if (f.bindPairs.size() >= ins)
    bad("no packed stream");
  const auto numPacked = static_cast<std::size_t>(ins - f.bindPairs.size());
  if (numPacked == 1) {
    for (std::uint32_t i = 0; i < ins; ++i)
      if (!f.bindForIn(i)) {
        f.packedInputs.push_back(i);
        break;
      }
  } else {
    for (std::size_t i = 0; i < numPacked; ++i)
      f.packedInputs.push_back(c.small(ins, "packed stream index"));
  }
  std::uint32_t mains = 0;
  for (std::uint32_t o = 0; o < outs; ++o)
    if (std::none_of(f.bindPairs.begin(), f.bindPairs.end(),
                     [o](const BindPair& bp) { return bp.out == o; })) {
      f.mainOutput = o;
      ++mains;
    }
  if (mains != 1)
    bad("a folder without one main output");
  checkFolderShape(f);
  return f;
}

void parseUnpackInfo(Cursor& c, StreamsInfo& s) {
  c.expect(Id::Folder, "the folder list");
  const std::size_t n = c.count(c.left(), "folders");
  if (c.byte() != 0)
    bad("folders stored elsewhere");
  s.folders.reserve(n);
  std::uint64_t packIndex = 0;
  for (std::size_t i = 0; i < n; ++i) {
    s.folders.push_back(parseFolder(c));
    Folder& f = s.folders.back();
    if (packIndex + f.packedInputs.size() > s.packSizes.size())
      bad("folders use more packed streams than listed");
    f.firstPackStream = static_cast<std::uint32_t>(packIndex);
    packIndex += f.packedInputs.size();
  }
  c.expect(Id::CodersUnpackSize, "the unpack sizes");
  for (Folder& f : s.folders) {
    f.unpackSizes.resize(f.totalOut());
    for (auto& size : f.unpackSizes)
      size = c.number();
  }
  for (std::uint8_t id = c.byte(); id != Id::End; id = c.byte()) {
    if (id != Id::Crc)
      bad("unknown property in the unpack info");
    const auto crcs = digests(c, n);
    for (std::size_t i = 0; i < n; ++i)
      s.folders[i].crc = crcs[i];
  }
}

void parseSubStreamsInfo(Cursor& c, StreamsInfo& s) {
  std::uint8_t id = c.byte();
  if (id == Id::NumUnpackStream) {
    for (Folder& f : s.folders)
      f.numSubstreams = static_cast<std::uint32_t>(c.count(c.left() * 8 + 1, "substreams"));
    id = c.byte();
  }
  std::uint64_t total = 0;
  for (const Folder& f : s.folders)
    total += f.numSubstreams;
  // Each substream but a folder's last has a size in the header, so this bounds the total.
  if (total > c.left() + s.folders.size())
    bad("more substreams than the header can describe");
  s.subSizes.clear();
  s.subSizes.reserve(static_cast<std::size_t>(total));
  const bool sizesGiven = id == Id::Size;
  for (const Folder& f : s.folders) {
    if (f.numSubstreams == 0)
      continue;
    std::uint64_t sum = 0;
    for (std::uint32_t k = 1; k < f.numSubstreams; ++k) {
      const std::uint64_t size = sizesGiven ? c.number() : 0;
      if (size > f.unpackSize() - sum)
        bad("substreams larger than their folder");
      sum += size;
      s.subSizes.push_back(size);
    }
    s.subSizes.push_back(f.unpackSize() - sum);
  }
  if (sizesGiven)
    id = c.byte();
  s.subCrcs.assign(s.subSizes.size(), std::nullopt);
  // Digests are listed only for substreams whose CRC the folder does not already give.
  std::size_t unknown = 0;
  for (const Folder& f : s.folders)
    if (!(f.numSubstreams == 1 && f.crc))
      unknown += f.numSubstreams;
  for (; id != Id::End; id = c.byte()) {
    if (id != Id::Crc)
      bad("unknown property in the substreams info");
    const auto crcs = digests(c, unknown);
    std::size_t next = 0, sub = 0;
    for (const Folder& f : s.folders) {
      if (f.numSubstreams == 1 && f.crc) {
        ++sub;
        continue;
      }
      for (std::uint32_t k = 0; k < f.numSubstreams; ++k)
        s.subCrcs[sub++] = crcs[next++];
    }
  }
  std::size_t sub = 0;
  for (const Folder& f : s.folders) {
    if (f.numSubstreams == 1 && f.crc)
      s.subCrcs[sub] = f.crc;
    sub += f.numSubstreams;
  }
}

StreamsInfo parseStreamsInfo(Cursor& c) {
  StreamsInfo s;
  bool haveSub = false;
  for (std::uint8_t id = c.byte(); id != Id::End; id = c.byte()) {
    if (id == Id::PackInfo && s.packSizes.empty())
      parsePackInfo(c, s);
    else if (id == Id::UnpackInfo && s.folders.empty())
      parseUnpackInfo(c, s);
    else if (id == Id::SubStreamsInfo && !haveSub) {
      parseSubStreamsInfo(c, s);
      haveSub = true;
    } else
      bad("unknown property in the streams info");
  }
  if (!haveSub) {
    for (const Folder& f : s.folders) {
      s.subSizes.push_back(f.unpackSize());
      s.subCrcs.push_back(f.crc);
    }
  }
  return s;
}

std::vector<std::string> parseNames(Cursor& c, std::size_t n) {
  if (c.byte() != 0)
    bad("names stored elsewhere");
  std::vector<std::string> names;
  names.reserve(n);
  std::u16string name;
  while (names.size() < n) {
    const auto unit = static_cast<char16_t>(loadLe16(c.take(2).data()));
    if (unit == 0) {
      names.push_back(utf16ToUtf8(name));
      name.clear();
    } else {
      name.push_back(unit);
    }
  }
  return names;
}

void parseFilesInfo(Cursor& c, Database& db) {
  const std::size_t n = c.count(c.left(), "files");
  db.files.assign(n, FileEntry{});
  std::vector<bool> emptyStream(n), emptyFile, anti;
  std::size_t numEmpty = 0;
  for (std::uint8_t id = c.byte(); id != Id::End; id = c.byte()) {
    const std::uint64_t size = c.number();
    Cursor p(c.take(size));
    switch (id) {
    case Id::EmptyStream:
      emptyStream = bits(p, n);
      numEmpty = static_cast<std::size_t>(std::count(emptyStream.begin(), emptyStream.end(), true));
      emptyFile.assign(numEmpty, false);
      anti.assign(numEmpty, false);
      break;
    case Id::EmptyFile:
      emptyFile = bits(p, numEmpty);
      break;
    case Id::Anti:
      anti = bits(p, numEmpty);
      break;
    case Id::Name: {
      auto names = parseNames(p, n);
      for (std::size_t i = 0; i < n; ++i)
        db.files[i].name = std::move(names[i]);
      break;
    }
    case Id::WinAttributes: {
      const auto defined = optionalBits(p, n);
      if (p.byte() != 0)
        bad("attributes stored elsewhere");
      for (std::size_t i = 0; i < n; ++i)
        if (defined[i])
          db.files[i].attributes = p.u32();
      break;
    }
    default:
      break; // times, start positions, padding: not needed to extract
    }
  }
  std::size_t empty = 0;
  for (std::size_t i = 0; i < n; ++i) {
    FileEntry& e = db.files[i];
    e.hasStream = !emptyStream[i];
    if (!e.hasStream) {
      e.isDirectory = !emptyFile[empty];
      e.isAnti = anti[empty];
      ++empty;
    }
    if (e.attributes && (*e.attributes & 0x10))
      e.isDirectory = true;
  }
}

Database parsePlainHeader(Cursor& c) {
  Database db;
  std::uint8_t id = c.byte();
  if (id == Id::ArchiveProperties) {
    for (std::uint8_t type = c.byte(); type != 0; type = c.byte())
      (void)c.take(c.number());
    id = c.byte();
  }
  if (id == Id::AdditionalStreamsInfo) {
    (void)parseStreamsInfo(c); // never written by any archiver we know; read past it
    id = c.byte();
  }
  if (id == Id::MainStreamsInfo) {
    db.streams = parseStreamsInfo(c);
    id = c.byte();
  }
  if (id == Id::FilesInfo) {
    parseFilesInfo(c, db);
    id = c.byte();
  }
  if (id != Id::End)
    bad("unknown property in the header");
  std::size_t withStream = 0;
  for (const FileEntry& e : db.files)
    withStream += e.hasStream ? 1 : 0;
  if (withStream > db.streams.subSizes.size())
    bad("more files than streams");
  return db;
}

} // namespace

std::uint32_t Folder::totalIn() const {
  std::uint32_t n = 0;
  for (const Coder& c : coders)
    n += c.numIn;
  return n;
}
std::uint32_t Folder::totalOut() const {
  std::uint32_t n = 0;
  for (const Coder& c : coders)
    n += c.numOut;
  return n;
}
std::uint32_t Folder::firstIn(std::uint32_t coder) const {
  std::uint32_t n = 0;
  for (std::uint32_t i = 0; i < coder; ++i)
    n += coders[i].numIn;
  return n;
}
std::pair<std::uint32_t, std::uint32_t> Folder::coderOfIn(std::uint32_t in) const {
  for (std::uint32_t i = 0; i < coders.size(); ++i) {
    if (in < coders[i].numIn)
      return {i, in};
    in -= coders[i].numIn;
  }
  return {0, 0}; // unreachable for a checked folder
}
std::uint32_t Folder::coderOfOut(std::uint32_t out) const {
  for (std::uint32_t i = 0; i < coders.size(); ++i) {
    if (out < coders[i].numOut)
      return i;
    out -= coders[i].numOut;
  }
  return 0;
}
std::optional<std::uint32_t> Folder::bindForIn(std::uint32_t in) const {
  for (const BindPair& bp : bindPairs)
    if (bp.in == in)
      return bp.out;
  return std::nullopt;
}
std::optional<std::uint32_t> Folder::packedIndexOf(std::uint32_t in) const {
  for (std::uint32_t i = 0; i < packedInputs.size(); ++i)
    if (packedInputs[i] == in)
      return i;
  return std::nullopt;
}

bool hasSignature(std::span<const std::byte> head) {
  return head.size() >= kSignature.size() &&
         std::memcmp(head.data(), kSignature.data(), kSignature.size()) == 0;
}

StartHeader parseStartHeader(std::span<const std::byte, kSignatureHeaderSize> bytes) {
  if (!hasSignature(bytes))
    bad("no signature");
  StartHeader h;
  h.majorVersion = std::to_integer<std::uint8_t>(bytes[kOffMajorVersion]);
  h.minorVersion = std::to_integer<std::uint8_t>(bytes[kOffMajorVersion + 1]);
  if (h.majorVersion != 0)
    throw EAbException("7z: format version " + std::to_string(h.majorVersion) + " is not supported",
                       AbCode::Unknown, ErrorKind::Unsupported);
  const auto rest = std::span<const std::byte>(bytes).subspan(kOffNextHeaderOffset);
  if (codec::crc32Update(0, rest) != loadLe32(&bytes[kOffStartHeaderCrc]))
    throw EAbException("7z: start header CRC mismatch", AbCode::Unknown, ErrorKind::CrcError);
  h.nextHeaderOffset = loadLe64(&bytes[kOffNextHeaderOffset]);
  h.nextHeaderSize = loadLe64(&bytes[kOffNextHeaderSize]);
  h.nextHeaderCrc = loadLe32(&bytes[kOffNextHeaderCrc]);
  return h;
}

ParsedHeader parseHeader(std::span<const std::byte> bytes) {
  Cursor c(bytes);
  ParsedHeader out;
  const std::uint8_t id = c.byte();
  if (id == Id::Header)
    out.database = parsePlainHeader(c);
  else if (id == Id::EncodedHeader)
    out.encoded = parseStreamsInfo(c);
  else
    bad("unknown header type");
  return out;
}

} // namespace kyv::archive::sevenzip
