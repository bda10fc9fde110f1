#include "unrar/rar_archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "base/endian.h"
#include "base/error.h"
#include "base/utf.h"
#include "codec/checksum.h"
#include "unrar/bit_reader.h"
#include "unrar/blake2sp.h"
#include "unrar/header_cursor.h"
#include "unrar/lz_decoder.h"
#include "unrar/old_unicode_name.h"
#include "unrar/rar15_decoder.h"
#include "unrar/rar2_decoder.h"
#include "unrar/rar3_decoder.h"
#include "unrar/rar5_decoder.h"
#include "unrar/rar_format.h"
#include "unrar/unrar_abi.h"

namespace kyv::unrar {
namespace {

namespace fmt = format;

// A cap on remembered copy sources, so a header flood cannot grow memory without end.
constexpr std::size_t kMaxCopySources = 4096;

bool readAt(ByteSource& src, std::uint64_t off, std::span<std::byte> out) {
  return src.seek(off) && src.readExact(out);
}

std::string_view asText(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::uint32_t crc16Of(std::span<const std::byte> bytes) {
  return codec::crc32Update(0, bytes) & 0xFFFF;
}

void normaliseSeparators(RarEntry& e) {
  // The old format stores folders separated by backslashes, whatever system made the archive.
  std::replace(e.name.begin(), e.name.end(), '\\', '/');
  std::replace(e.wideName.begin(), e.wideName.end(), u'\\', u'/');
}

unsigned oldArchiveFlags(unsigned flags) {
  static constexpr unsigned kMap[][2] = {{fmt::kOldMainVolume, kArcVolume},
                                         {fmt::kOldMainComment, kArcComment},
                                         {fmt::kOldMainLock, kArcLock},
                                         {fmt::kOldMainSolid, kArcSolid},
                                         {fmt::kOldMainNewNumbering, kArcNewNumbering},
                                         {fmt::kOldMainSigned, kArcSigned},
                                         {fmt::kOldMainRecovery, kArcRecovery},
                                         {fmt::kOldMainPassword, kArcEncHeaders},
                                         {fmt::kOldMainFirstVolume, kArcFirstVolume}};
  unsigned out = 0;
  for (const auto& m : kMap)
    if (flags & m[0])
      out |= m[1];
  return out;
}

unsigned rar5ArchiveFlags(std::uint64_t af, std::uint64_t volume) {
  unsigned out = 0;
  if (af & fmt::kMain5Volume)
    out |= kArcVolume | kArcNewNumbering | (volume == 0 ? kArcFirstVolume : 0);
  if (af & fmt::kMain5Solid)
    out |= kArcSolid;
  if (af & fmt::kMain5Recovery)
    out |= kArcRecovery;
  if (af & fmt::kMain5Locked)
    out |= kArcLock;
  return out;
}

// One old-format block: its head, its whole header bytes and where the next block starts.
struct OldBlock {
  std::uint64_t offset = 0;
  std::uint16_t crc = 0;
  std::uint8_t type = 0;
  std::uint16_t flags = 0;
  std::vector<std::byte> header;
  std::uint64_t dataSize = 0;
  std::uint64_t next = 0;

  // Whether the CRC matches the header's first `end` bytes (from the type on).
  bool crcOver(std::size_t end) const {
    return end >= fmt::kOldCrcStart && end <= header.size() &&
           crc16Of(std::span(header).subspan(fmt::kOldCrcStart, end - fmt::kOldCrcStart)) == crc;
  }
  // The fields after the head and the data size.
  HeaderCursor fields() const {
    HeaderCursor c(header);
    c.seek(fmt::kOldBlockHead + (hasDataSize() ? 4 : 0));
    return c;
  }
  bool hasDataSize() const {
    return (flags & fmt::kOldLongBlock) != 0 || type == fmt::kOldTypeFile ||
           type == fmt::kOldTypeNewSub;
  }
};

// End when the archive stops where a block would start (archives without an end block do).
RarStatus readOldBlock(ByteSource& src, std::uint64_t off, OldBlock& b) {
  std::array<std::byte, fmt::kOldBlockHead> head{};
  if (off >= src.size())
    return RarStatus::End;
  if (!readAt(src, off, head))
    return off + head.size() > src.size() ? RarStatus::End : RarStatus::BadData;
  b.offset = off;
  b.crc = loadLe16(head.data());
  b.type = std::to_integer<std::uint8_t>(head[2]);
  b.flags = loadLe16(head.data() + 3);
  const std::uint16_t size = loadLe16(head.data() + 5);
  if (size < fmt::kOldBlockHead)
    return RarStatus::BadData;
  b.header.resize(size);
  if (!readAt(src, off, b.header))
    return RarStatus::BadData;
  if (b.hasDataSize()) {
    HeaderCursor c(b.header);
    c.seek(fmt::kOldBlockHead);
    b.dataSize = c.u32();
  }
  b.next = off + size + b.dataSize;
  return RarStatus::Ok;
}

// An old main header is intact when its CRC covers the whole header or, in old archives with an
// embedded comment, only the fixed part.
bool oldMainIntact(const OldBlock& b) {
  return b.type == fmt::kOldTypeMain && b.header.size() >= fmt::kOldMainHead &&
         (b.crcOver(b.header.size()) || b.crcOver(fmt::kOldMainHead));
}

// One RAR 5 header: its type and flags, the type's own fields, the extra area and the data.
struct Rar5Block {
  std::vector<std::byte> header; // from the size field on, as the CRC covers it
  std::uint64_t type = 0;
  std::uint64_t flags = 0;
  std::size_t fieldsStart = 0;
  std::size_t extraStart = 0;
  std::uint64_t dataOffset = 0;
  std::uint64_t dataSize = 0;
  std::uint64_t next = 0;

  HeaderCursor fields() const {
    return HeaderCursor(std::span(header).subspan(fieldsStart, extraStart - fieldsStart));
  }
  std::span<const std::byte> extra() const { return std::span(header).subspan(extraStart); }
};

RarStatus readRar5Block(ByteSource& src, std::uint64_t off, Rar5Block& b) {
  // The CRC and the size, a variable-length number of at most three bytes under the 2 MiB cap.
  std::array<std::byte, fmt::kHeadCrc5 + 3> head{};
  if (off >= src.size())
    return RarStatus::BadData;
  const std::size_t avail =
      static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), src.size() - off));
  if (avail < fmt::kHeadCrc5 + 1 || !readAt(src, off, std::span(head).first(avail)))
    return RarStatus::BadData;
  HeaderCursor hc{std::span<const std::byte>(head).first(avail)};
  const std::uint32_t crc = hc.u32();
  const std::uint64_t size = hc.vint();
  const std::size_t sizeLength = hc.pos() - fmt::kHeadCrc5;
  if (size == 0 || size > fmt::kMaxHeader5)
    return RarStatus::BadData;
  b.header.resize(static_cast<std::size_t>(size) + sizeLength);
  if (!readAt(src, off + fmt::kHeadCrc5, b.header) || codec::crc32Update(0, b.header) != crc)
    return RarStatus::BadData;
  HeaderCursor c(b.header);
  c.seek(sizeLength);
  b.type = c.vint();
  b.flags = c.vint();
  const std::uint64_t extraSize = (b.flags & fmt::kHead5Extra) ? c.vint() : 0;
  b.dataSize = (b.flags & fmt::kHead5Data) ? c.vint() : 0;
  if (extraSize > c.left())
    return RarStatus::BadData;
  b.fieldsStart = c.pos();
  b.extraStart = c.size() - static_cast<std::size_t>(extraSize);
  b.dataOffset = off + fmt::kHeadCrc5 + b.header.size();
  if (b.dataSize > UINT64_MAX - b.dataOffset)
    return RarStatus::BadData;
  b.next = b.dataOffset + b.dataSize;
  return RarStatus::Ok;
}

// The file's name in both forms, from the old header's name field.
void setOldName(RarEntry& e, std::uint16_t flags, std::span<const std::byte> name) {
  const auto zero = std::find(name.begin(), name.end(), std::byte{0});
  const auto narrow = name.first(static_cast<std::size_t>(zero - name.begin()));
  e.name = std::string(asText(narrow));
  if ((flags & fmt::kOldFileUnicode) == 0) {
    for (const std::byte ch : narrow)
      e.wideName.push_back(std::to_integer<char16_t>(ch)); // single-byte names read as Latin-1
    return;
  }
  // A zero byte separates the narrow name from the compact Unicode one; without it the name is
  // UTF-8.
  e.wideName = zero != name.end() ? decodeOldUnicodeName(narrow, name.subspan(narrow.size() + 1))
                                  : utf8ToUtf16(asText(narrow));
  e.name = utf16ToUtf8(e.wideName);
}

// The old file header's fields; BadData when its CRC does not hold.
RarStatus parseOldFile(const OldBlock& b, RarEntry& e) {
  HeaderCursor c = b.fields();
  e.packSize = b.dataSize;
  e.unpSize = c.u32();
  e.hostOs = c.u8();
  e.crc = c.u32();
  e.hasCrc = true;
  e.fileTime = c.u32();
  e.unpVer = c.u8();
  e.method = c.u8();
  const std::uint16_t nameSize = c.u16();
  e.attributes = c.u32();
  if (b.flags & fmt::kOldFileLarge) {
    e.packSize |= static_cast<std::uint64_t>(c.u32()) << 32;
    e.unpSize |= static_cast<std::uint64_t>(c.u32()) << 32;
  }
  const auto name = c.bytes(nameSize);
  // Old archives with a file comment inside the header checksum only the header up to the end
  // of the name.
  if (!b.crcOver(b.header.size()) && ((b.flags & fmt::kOldFileComment) == 0 || !b.crcOver(c.pos())))
    return RarStatus::BadData;
  setOldName(e, b.flags, name);
  e.splitBefore = (b.flags & fmt::kOldFileSplitBefore) != 0;
  e.splitAfter = (b.flags & fmt::kOldFileSplitAfter) != 0;
  e.encrypted = (b.flags & fmt::kOldFileEncrypted) != 0;
  e.solid = (b.flags & fmt::kOldFileSolid) != 0;
  e.directory = (b.flags & fmt::kOldFileDictMask) == fmt::kOldFileDirectory;
  e.dictionary = e.directory ? 0
                             : (64u * 1024)
                                   << ((b.flags & fmt::kOldFileDictMask) >> fmt::kOldFileDictShift);
  e.dataOffset = b.offset + b.header.size();
  normaliseSeparators(e);
  return RarStatus::Ok;
}

// The extra records of a RAR 5 file header; false when one overruns the area.
bool parseRar5Extras(std::span<const std::byte> extra, RarEntry& e) {
  HeaderCursor c(extra);
  while (c.left() > 0) {
    const std::uint64_t size = c.vint();
    const std::size_t start = c.pos();
    if (size == 0 || size > c.left())
      return false;
    HeaderCursor r(extra.subspan(start, static_cast<std::size_t>(size)));
    const std::uint64_t type = r.vint();
    if (type == fmt::kExtra5Encryption) {
      e.encrypted = true;
    } else if (type == fmt::kExtra5Hash) {
      if (r.vint() == fmt::kHash5Blake2 && r.has(fmt::kBlake2Size)) {
        const auto hash = r.bytes(fmt::kBlake2Size);
        std::transform(hash.begin(), hash.end(), e.hash.begin(),
                       [](std::byte x) { return std::to_integer<std::uint8_t>(x); });
        e.blake2 = true;
      }
    } else if (type == fmt::kExtra5Redirection) {
      e.redirection = static_cast<std::uint32_t>(r.vint());
      r.vint(); // flags
      e.redirectTarget = std::string(asText(r.bytes(r.vint())));
    }
    c.seek(start + static_cast<std::size_t>(size));
  }
  return true;
}

RarStatus parseRar5File(const Rar5Block& b, RarEntry& e) {
  HeaderCursor c = b.fields();
  const std::uint64_t fileFlags = c.vint();
  e.unpSize = c.vint();
  e.attributes = static_cast<std::uint32_t>(c.vint());
  if (fileFlags & fmt::kFile5UnixTime)
    c.u32(); // the DOS time field is left 0
  if (fileFlags & fmt::kFile5Crc) {
    e.crc = c.u32();
    e.hasCrc = true;
  }
  const std::uint64_t info = c.vint();
  e.hostOs = static_cast<std::uint32_t>(c.vint());
  const std::string_view name = asText(c.bytes(c.vint()));
  e.name = std::string(name);
  e.wideName = utf8ToUtf16(name);
  e.directory = (fileFlags & fmt::kFile5Directory) != 0;
  e.packSize = b.dataSize;
  e.dataOffset = b.dataOffset;
  e.solid = (info & fmt::kComp5Solid) != 0;
  e.method = fmt::kMethodStore +
             static_cast<unsigned>((info >> fmt::kComp5MethodShift) & fmt::kComp5MethodMask);
  e.unpVer = (info & fmt::kComp5VersionMask) == 0 ? 50 : 70;
  e.dictionary =
      e.directory ? 0 : (128u * 1024ull) << ((info >> fmt::kComp5DictShift) & fmt::kComp5DictMask);
  e.splitBefore = (b.flags & fmt::kHead5SplitBefore) != 0;
  e.splitAfter = (b.flags & fmt::kHead5SplitAfter) != 0;
  if (fileFlags & fmt::kFile5UnknownSize)
    e.unpSize = UINT64_MAX; // decode until the stream ends
  return parseRar5Extras(b.extra(), e) ? RarStatus::Ok : RarStatus::BadData;
}

} // namespace

RarArchive::RarArchive(ByteSource& source) : source_(source) {}
RarArchive::~RarArchive() = default;

RarStatus RarArchive::open() {
  const std::uint64_t total = source_.size();
  constexpr std::size_t kWindow = 64 * 1024;
  std::vector<std::byte> buf(kWindow + fmt::kSignature5.size());
  for (std::uint64_t base = 0; base < std::min(total, fmt::kMaxSignatureSearch); base += kWindow) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), total - base));
    if (n < fmt::kSignatureOld.size() || !readAt(source_, base, std::span(buf.data(), n)))
      break;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buf.data());
    for (std::size_t i = 0; i + fmt::kSignatureOld.size() <= n && i < kWindow; ++i) {
      // Both signatures share their first six bytes.
      if (bytes[i] != 0x52 || std::memcmp(bytes + i, fmt::kSignatureOld.data(), 6) != 0)
        continue;
      if (bytes[i + 6] == fmt::kSignatureOld[6]) {
        rar5_ = false;
        nextHeader_ = base + i + fmt::kSignatureOld.size();
      } else if (bytes[i + 6] == fmt::kSignature5[6] && i + fmt::kSignature5.size() <= n &&
                 bytes[i + 7] == 0x00) {
        rar5_ = true;
        nextHeader_ = base + i + fmt::kSignature5.size();
      } else {
        continue;
      }
      // The first header must be an intact archive header; a false match goes on searching.
      const RarStatus st = checkMainHeader();
      if (st == RarStatus::Ok || st == RarStatus::MissingPassword)
        return st;
    }
  }
  std::array<std::uint8_t, 4> head{};
  if (readAt(source_, 0, std::as_writable_bytes(std::span(head))) && head == fmt::kSignature14)
    return RarStatus::UnknownFormat;
  return RarStatus::BadArchive;
}

RarStatus RarArchive::checkMainHeader() {
  try {
    return rar5_ ? readMain5() : readMainOld();
  } catch (const Error&) {
    return RarStatus::BadArchive;
  }
}

// A self-extractor's code may hold the signature too: only an intact header counts.
RarStatus RarArchive::readMainOld() {
  OldBlock b;
  if (readOldBlock(source_, nextHeader_, b) != RarStatus::Ok || !oldMainIntact(b))
    return RarStatus::BadArchive;
  archiveFlags_ = oldArchiveFlags(b.flags);
  solidArchive_ = (b.flags & fmt::kOldMainSolid) != 0;
  headersEncrypted_ = (b.flags & fmt::kOldMainPassword) != 0;
  nextHeader_ = b.next;
  return headersEncrypted_ ? RarStatus::MissingPassword : RarStatus::Ok;
}

RarStatus RarArchive::readMain5() {
  Rar5Block b;
  if (readRar5Block(source_, nextHeader_, b) != RarStatus::Ok)
    return RarStatus::BadArchive;
  if (b.type == fmt::kType5Encryption) {
    archiveFlags_ = kArcEncHeaders;
    headersEncrypted_ = true;
    return RarStatus::MissingPassword;
  }
  if (b.type != fmt::kType5Main)
    return RarStatus::BadArchive;
  HeaderCursor c = b.fields();
  const std::uint64_t af = c.vint();
  archiveFlags_ = rar5ArchiveFlags(af, (af & fmt::kMain5VolumeNumber) ? c.vint() : 0);
  solidArchive_ = (af & fmt::kMain5Solid) != 0;
  nextHeader_ = b.next;
  return RarStatus::Ok;
}

RarStatus RarArchive::next(RarEntry& entry) {
  if (current_ && !currentDone_) {
    const RarStatus st = skip();
    if (st != RarStatus::Ok)
      solidBroken_ = true;
  }
  if (headersEncrypted_)
    return RarStatus::MissingPassword;
  if (ended_)
    return RarStatus::End;
  try {
    const RarStatus st = rar5_ ? nextRar5(entry) : nextOld(entry);
    if (st == RarStatus::Ok) {
      current_ = entry;
      currentDone_ = false;
    } else {
      ended_ = true;
      current_.reset();
    }
    return st;
  } catch (const std::bad_alloc&) {
    ended_ = true;
    return RarStatus::NoMemory;
  } catch (const Error&) {
    ended_ = true;
    return RarStatus::BadData;
  }
}

RarStatus RarArchive::nextOld(RarEntry& entry) {
  for (;;) {
    OldBlock b;
    if (const RarStatus st = readOldBlock(source_, nextHeader_, b); st != RarStatus::Ok)
      return st;
    if (b.type == fmt::kOldTypeEnd)
      return RarStatus::End;
    if (b.type == fmt::kOldTypeFile) {
      RarEntry e;
      if (const RarStatus st = parseOldFile(b, e); st != RarStatus::Ok)
        return st;
      nextHeader_ = b.offset + b.header.size() + e.packSize;
      entry = std::move(e);
      return RarStatus::Ok;
    }
    // Comments, service headers and old sub-blocks are passed over.
    if (b.next <= b.offset)
      return RarStatus::BadData;
    nextHeader_ = b.next;
  }
}

RarStatus RarArchive::nextRar5(RarEntry& entry) {
  for (;;) {
    if (nextHeader_ >= source_.size())
      return RarStatus::End;
    Rar5Block b;
    if (const RarStatus st = readRar5Block(source_, nextHeader_, b); st != RarStatus::Ok)
      return st;
    if (b.type == fmt::kType5Encryption) {
      archiveFlags_ |= kArcEncHeaders;
      headersEncrypted_ = true;
      return RarStatus::MissingPassword;
    }
    if (b.type == fmt::kType5End)
      return RarStatus::End;
    if (b.type == fmt::kType5File) {
      RarEntry e;
      if (const RarStatus st = parseRar5File(b, e); st != RarStatus::Ok)
        return st;
      rememberCopySource(e);
      nextHeader_ = b.next;
      entry = std::move(e);
      return RarStatus::Ok;
    }
    // Service headers (comment, quick open, recovery) and unknown types are passed over.
    if (b.next <= nextHeader_)
      return RarStatus::BadData;
    nextHeader_ = b.next;
  }
}

void RarArchive::rememberCopySource(const RarEntry& e) {
  if (e.redirection == 0 && !e.directory && !e.encrypted && !e.solid && !e.splitBefore &&
      !e.splitAfter && copySources_.size() < kMaxCopySources)
    copySources_.push_back(e);
}

MemberDecoder& RarArchive::decoderFor(const RarEntry& e) {
  std::unique_ptr<MemberDecoder>* slot = nullptr;
  if (e.unpVer >= 50 && e.unpVer < 70) {
    slot = &rar5Decoder_;
    if (!*slot)
      *slot = std::make_unique<Rar5Decoder>();
  }
  if (e.unpVer == 29 || e.unpVer == 36) {
    slot = &rar3Decoder_;
    if (!*slot)
      *slot = std::make_unique<Rar3Decoder>();
  }
  if (e.unpVer == 15) {
    slot = &rar15Decoder_;
    if (!*slot)
      *slot = std::make_unique<Rar15Decoder>();
  }
  if (e.unpVer == 20 || e.unpVer == 26) {
    slot = &rar2Decoder_;
    if (!*slot)
      *slot = std::make_unique<Rar2Decoder>();
  }
  if (slot == nullptr)
    fail(ErrorKind::Unsupported, "unknown unpack version");
  return **slot;
}

RarStatus RarArchive::decode(ByteSink* sink) {
  const RarEntry& e = *current_;
  if (e.encrypted)
    return RarStatus::MissingPassword;
  if (e.directory)
    return RarStatus::Ok;
  if (e.splitBefore || e.splitAfter)
    return RarStatus::OpenError; // the rest of the member is in another volume
  // Hard links (4) and file copies (5) have the data of an earlier member: decode that one
  // again, when it stands on its own and nothing solid depends on the decoder's state. Symbolic
  // links and junctions have no data to give.
  if (e.redirection == fmt::kRedirHardLink || e.redirection == fmt::kRedirFileCopy) {
    for (const RarEntry& src : copySources_)
      if (src.name == e.redirectTarget && !solidArchive_ && src.unpSize == e.unpSize)
        return decodeEntry(src, sink);
    return RarStatus::BadData;
  }
  if (e.redirection != 0)
    return RarStatus::BadData;
  return decodeEntry(e, sink);
}

RarStatus RarArchive::decodeEntry(const RarEntry& e, ByteSink* sink) {
  if (!source_.seek(e.dataOffset) || e.packSize > source_.size() - e.dataOffset)
    return RarStatus::BadData;
  MemberOutput out;
  out.sink = sink;
  Blake2sp blake2;
  if (e.blake2)
    out.blake2 = &blake2;
  if (e.method == fmt::kMethodStore) {
    std::vector<std::uint8_t> buf(64 * 1024);
    std::uint64_t left = std::min(e.packSize, e.unpSize);
    while (left > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size()));
      if (!source_.readExact(std::as_writable_bytes(std::span(buf.data(), n))))
        return RarStatus::BadData;
      try {
        out.deliver(buf.data(), n);
      } catch (const Error&) {
        return RarStatus::WriteError;
      }
      left -= n;
    }
  } else {
    try {
      MemberDecoder& dec = decoderFor(e);
      if (!e.solid || !solidArchive_ || solidDecoder_ != &dec) {
        dec.reset(e.dictionary);
        solidBroken_ = false;
      } else if (solidBroken_) {
        return RarStatus::BadData;
      }
      solidDecoder_ = &dec;
      BitReader in(source_, e.packSize);
      dec.decodeMember(in, e.unpSize, out);
    } catch (const std::bad_alloc&) {
      solidBroken_ = true;
      return RarStatus::NoMemory;
    } catch (const Error& err) {
      solidBroken_ = true;
      if (out.refused)
        return RarStatus::WriteError;
      if (err.kind() == ErrorKind::Unsupported)
        return RarStatus::UnknownFormat;
      if (err.kind() == ErrorKind::Limit)
        return RarStatus::NoMemory;
      return RarStatus::BadData;
    }
  }
  if (out.refused)
    return RarStatus::WriteError;
  if (e.unpSize != UINT64_MAX && out.written != e.unpSize)
    return RarStatus::BadData;
  if (e.hasCrc && out.crc != e.crc)
    return RarStatus::BadData;
  if (e.blake2 && blake2.finish() != e.hash)
    return RarStatus::BadData;
  return RarStatus::Ok;
}

RarStatus RarArchive::extract(ByteSink* sink) {
  if (!current_ || currentDone_)
    return RarStatus::BadArchive;
  currentDone_ = true;
  return decode(sink);
}

RarStatus RarArchive::skip() {
  if (!current_ || currentDone_)
    return RarStatus::Ok;
  currentDone_ = true;
  const RarEntry& e = *current_;
  // In a solid archive the next member may go on from this one's window: decode it unseen.
  if (solidArchive_ && !e.directory && e.method != fmt::kMethodStore && !e.encrypted)
    return decode(nullptr);
  return RarStatus::Ok;
}

} // namespace kyv::unrar
