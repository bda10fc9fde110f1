#include "unrar/rar_archive.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "base/error.h"
#include "unrar/bit_reader.h"
#include "unrar/blake2sp.h"
#include "codec/checksum.h"
#include "unrar/lz_decoder.h"
#include "unrar/rar15_decoder.h"
#include "unrar/rar2_decoder.h"
#include "unrar/rar3_decoder.h"
#include "unrar/rar5_decoder.h"
#include "unrar/unrar_abi.h"

namespace kyv::unrar {
namespace {

constexpr std::array<std::uint8_t, 7> kSigOld{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
constexpr std::array<std::uint8_t, 8> kSig5{0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
// Self-extractor stubs are a few hundred KiB; the signature is looked for this far in.
constexpr std::uint64_t kMaxSignatureSearch = 4u << 20;
// RAR 5 headers are at most 2 MiB by the format; old-format headers have a 16-bit size.
constexpr std::uint64_t kMaxHeader5 = 2u << 20;

// Old-format block types and flags.
constexpr std::uint8_t kTypeMain = 0x73;
constexpr std::uint8_t kTypeFile = 0x74;
constexpr std::uint8_t kTypeNewSub = 0x7A;
constexpr std::uint8_t kTypeEnd = 0x7B;
constexpr std::uint16_t kLongBlock = 0x8000;

// A cursor over header bytes that fails instead of reading past them.
class Cursor {
public:
  explicit Cursor(std::span<const std::uint8_t> b) : b_(b) {}
  bool has(std::size_t n) const { return n <= b_.size() - pos_; }
  std::uint8_t u8() { need(1); return b_[pos_++]; }
  std::uint16_t u16() { need(2); const auto v = static_cast<std::uint16_t>(b_[pos_] | (b_[pos_ + 1] << 8)); pos_ += 2; return v; }
  std::uint32_t u32() {
    need(4);
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
      v = (v << 8) | b_[pos_ + static_cast<std::size_t>(i)];
    pos_ += 4;
    return v;
  }
  std::uint64_t vint() {
    std::uint64_t v = 0;
    for (unsigned shift = 0; shift < 70; shift += 7) {
      const std::uint8_t b = u8();
      if (shift == 63 && (b & 0x7E) != 0)
        break;
      v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0)
        return v;
    }
    fail(ErrorKind::BadHeader, "variable-length number too long");
  }
  std::span<const std::uint8_t> bytes(std::uint64_t n) {
    need(n);
    auto s = b_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return s;
  }
  std::size_t pos() const { return pos_; }
  void seek(std::size_t p) { if (p > b_.size()) need(p); pos_ = p; }
  std::size_t size() const { return b_.size(); }

private:
  void need(std::uint64_t n) const {
    if (n > b_.size() - pos_)
      fail(ErrorKind::BadHeader, "header field past the end of its header");
  }
  std::span<const std::uint8_t> b_;
  std::size_t pos_ = 0;
};

bool readAt(ByteSource& src, std::uint64_t off, std::span<std::uint8_t> out) {
  return src.seek(off) && src.readExact(std::as_writable_bytes(out));
}

void appendUtf8To16(std::u16string& out, std::span<const std::uint8_t> s) {
  for (std::size_t i = 0; i < s.size();) {
    std::uint32_t c = s[i];
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (n > 1) {
      c &= 0x7Fu >> n;
      for (std::size_t k = 1; k < n; ++k)
        c = (c << 6) | (s[i + k] & 0x3Fu);
    }
    i += n;
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(c > 0x10FFFF ? u'\uFFFD' : static_cast<char16_t>(c));
    }
  }
}

// The old format's compact Unicode name: a high byte shared by runs of characters, two flag bits
// per character saying how it is stored, and runs copied from the narrow name.
std::u16string decodeOldUnicode(std::span<const std::uint8_t> narrow, std::span<const std::uint8_t> enc) {
  std::u16string out;
  if (enc.empty())
    return out;
  const std::size_t maxLen = 1024;
  const unsigned high = enc[0];
  std::size_t pos = 1;
  unsigned flags = 0;
  unsigned flagBits = 0;
  while (pos < enc.size() && out.size() < maxLen) {
    if (flagBits == 0) {
      flags = enc[pos++];
      flagBits = 8;
    }
    switch (flags >> 6) {
    case 0:
      if (pos >= enc.size()) return out;
      out.push_back(enc[pos++]);
      break;
    case 1:
      if (pos >= enc.size()) return out;
      out.push_back(static_cast<char16_t>(enc[pos++] + (high << 8)));
      break;
    case 2:
      if (pos + 1 >= enc.size()) return out;
      out.push_back(static_cast<char16_t>(enc[pos] | (enc[pos + 1] << 8)));
      pos += 2;
      break;
    default: {
      if (pos >= enc.size()) return out;
      unsigned length = enc[pos++];
      if ((length & 0x80) != 0) {
        if (pos >= enc.size()) return out;
        const unsigned correction = enc[pos++];
        for (length = (length & 0x7F) + 2; length > 0 && out.size() < maxLen; --length) {
          const unsigned c = out.size() < narrow.size() ? narrow[out.size()] : 0;
          out.push_back(static_cast<char16_t>(((c + correction) & 0xFF) + (high << 8)));
        }
      } else {
        for (length += 2; length > 0 && out.size() < maxLen; --length)
          out.push_back(out.size() < narrow.size() ? narrow[out.size()] : 0);
      }
      break;
    }
    }
    flags = (flags << 2) & 0xFF;
    flagBits -= 2;
  }
  return out;
}

std::string utf16ToUtf8(const std::u16string& w) {
  std::string s;
  for (std::size_t i = 0; i < w.size(); ++i) {
    std::uint32_t c = w[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < w.size() && w[i + 1] >= 0xDC00 && w[i + 1] < 0xE000)
      c = 0x10000 + ((c - 0xD800) << 10) + (w[++i] - 0xDC00);
    if (c < 0x80) {
      s.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      s.push_back(static_cast<char>(0xC0 | (c >> 6)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      s.push_back(static_cast<char>(0xE0 | (c >> 12)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      s.push_back(static_cast<char>(0xF0 | (c >> 18)));
      s.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      s.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return s;
}

void normaliseSeparators(RarEntry& e) {
  // The old format stores folders separated by backslashes, whatever system made the archive.
  std::replace(e.name.begin(), e.name.end(), '\\', '/');
  std::replace(e.wideName.begin(), e.wideName.end(), u'\\', u'/');
}

unsigned oldArchiveFlags(unsigned flags) {
  static constexpr unsigned kMap[][2] = {{0x1, kArcVolume},       {0x2, kArcComment},     {0x4, kArcLock},
                                         {0x8, kArcSolid},        {0x10, kArcNewNumbering}, {0x20, kArcSigned},
                                         {0x40, kArcRecovery},    {0x80, kArcEncHeaders},  {0x100, kArcFirstVolume}};
  unsigned out = 0;
  for (const auto& m : kMap)
    if (flags & m[0])
      out |= m[1];
  return out;
}

unsigned rar5ArchiveFlags(std::uint64_t af, std::uint64_t volume) {
  unsigned out = 0;
  if (af & 0x1)
    out |= kArcVolume | kArcNewNumbering | (volume == 0 ? kArcFirstVolume : 0);
  if (af & 0x4)
    out |= kArcSolid;
  if (af & 0x8)
    out |= kArcRecovery;
  if (af & 0x10)
    out |= kArcLock;
  return out;
}

} // namespace

RarArchive::RarArchive(ByteSource& source) : source_(source) {}
RarArchive::~RarArchive() = default;

RarStatus RarArchive::open() {
  const std::uint64_t total = source_.size();
  std::vector<std::uint8_t> buf(64 * 1024 + 8);
  for (std::uint64_t base = 0; base < std::min(total, kMaxSignatureSearch); base += 64 * 1024) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), total - base));
    if (n < kSigOld.size() || !readAt(source_, base, std::span(buf.data(), n)))
      break;
    for (std::size_t i = 0; i + kSigOld.size() <= n && i < 64 * 1024; ++i) {
      if (buf[i] != 0x52 || std::memcmp(buf.data() + i, kSigOld.data(), 6) != 0)
        continue;
      if (buf[i + 6] == 0x00) {
        rar5_ = false;
        nextHeader_ = base + i + kSigOld.size();
      } else if (buf[i + 6] == 0x01 && i + kSig5.size() <= n && buf[i + 7] == 0x00) {
        rar5_ = true;
        nextHeader_ = base + i + kSig5.size();
      } else {
        continue;
      }
      // The first header must be an intact archive header; a false match goes on searching.
      const RarStatus st = checkMainHeader();
      if (st == RarStatus::Ok || st == RarStatus::MissingPassword)
        return st;
    }
  }
  // The 1.4 format ("RE~^") is a RAR archive, just one this reader does not know.
  std::array<std::uint8_t, 4> head{};
  if (readAt(source_, 0, head) && head == std::array<std::uint8_t, 4>{0x52, 0x45, 0x7E, 0x5E})
    return RarStatus::UnknownFormat;
  return RarStatus::BadArchive;
}

RarStatus RarArchive::checkMainHeader() {
  try {
    if (rar5_) {
      std::array<std::uint8_t, 7> head{};
      const std::uint64_t off = nextHeader_;
      const std::size_t avail = static_cast<std::size_t>(std::min<std::uint64_t>(7, source_.size() - off));
      if (avail < 6 || !readAt(source_, off, std::span(head.data(), avail)))
        return RarStatus::BadArchive;
      Cursor hc(std::span<const std::uint8_t>(head.data(), avail));
      const std::uint32_t crc = hc.u32();
      const std::uint64_t size = hc.vint();
      if (size == 0 || size > kMaxHeader5)
        return RarStatus::BadArchive;
      std::vector<std::uint8_t> h(static_cast<std::size_t>(size) + (hc.pos() - 4));
      if (!readAt(source_, off + 4, h) || codec::crc32Update(0, std::as_bytes(std::span(h))) != crc)
        return RarStatus::BadArchive;
      Cursor c(std::span<const std::uint8_t>(h).subspan(hc.pos() - 4));
      const std::uint64_t type = c.vint();
      if (type == 4) {
        archiveFlags_ = kArcEncHeaders;
        return RarStatus::MissingPassword;
      }
      if (type != 1)
        return RarStatus::BadArchive;
      const std::uint64_t flags = c.vint();
      if (flags & 0x1)
        c.vint();
      if (flags & 0x2)
        c.vint();
      const std::uint64_t af = c.vint();
      archiveFlags_ = rar5ArchiveFlags(af, (af & 0x2) ? c.vint() : 0);
      solidArchive_ = (af & 0x4) != 0;
      return RarStatus::Ok;
    }
    std::array<std::uint8_t, 13> h{};
    if (!readAt(source_, nextHeader_, h) || h[2] != kTypeMain)
      return RarStatus::BadArchive;
    // A self-extractor's code may hold the signature too: only an intact header counts.
    const std::uint16_t crc = static_cast<std::uint16_t>(h[0] | (h[1] << 8));
    const std::uint16_t size = static_cast<std::uint16_t>(h[5] | (h[6] << 8));
    if (size < h.size())
      return RarStatus::BadArchive;
    std::vector<std::uint8_t> whole(size);
    if (!readAt(source_, nextHeader_, whole))
      return RarStatus::BadArchive;
    const auto sum = [&](std::size_t n) { return codec::crc32Update(0, std::as_bytes(std::span(whole).subspan(2, n - 2))) & 0xFFFF; };
    if (sum(size) != crc && sum(h.size()) != crc)
      return RarStatus::BadArchive;
    const std::uint16_t flags = static_cast<std::uint16_t>(h[3] | (h[4] << 8));
    archiveFlags_ = oldArchiveFlags(flags);
    solidArchive_ = (flags & 0x8) != 0;
    return (flags & 0x80) ? RarStatus::MissingPassword : RarStatus::Ok;
  } catch (const Error&) {
    return RarStatus::BadArchive;
  }
}

RarStatus RarArchive::next(RarEntry& entry) {
  if (current_ && !currentDone_) {
    const RarStatus st = skip();
    if (st != RarStatus::Ok)
      solidBroken_ = true;
  }
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
    const std::uint64_t off = nextHeader_;
    std::array<std::uint8_t, 7> head{};
    if (off >= source_.size())
      return RarStatus::End; // archives without an end block just stop
    if (!readAt(source_, off, head))
      return off + 7 > source_.size() ? RarStatus::End : RarStatus::BadData;
    const std::uint16_t crc = static_cast<std::uint16_t>(head[0] | (head[1] << 8));
    const std::uint8_t type = head[2];
    const std::uint16_t flags = static_cast<std::uint16_t>(head[3] | (head[4] << 8));
    const std::uint16_t size = static_cast<std::uint16_t>(head[5] | (head[6] << 8));
    if (size < 7)
      return RarStatus::BadData;
    std::vector<std::uint8_t> h(size);
    if (!readAt(source_, off, h))
      return RarStatus::BadData;
    const bool crcOk = (codec::crc32Update(0, std::as_bytes(std::span(h).subspan(2))) & 0xFFFF) == crc;
    Cursor c(h);
    c.seek(7);
    std::uint64_t dataSize = 0;
    if ((flags & kLongBlock) != 0 || type == kTypeFile || type == kTypeNewSub)
      dataSize = c.u32();
    std::uint64_t next = off + size + dataSize;
    if (type == kTypeMain) {
      // Old archives with an embedded comment checksum only the fixed 13 bytes.
      if (!crcOk && (size < 13 || (codec::crc32Update(0, std::as_bytes(std::span(h).subspan(2, 11))) & 0xFFFF) != crc))
        return RarStatus::BadData;
      archiveFlags_ = oldArchiveFlags(flags);
      solidArchive_ = (flags & 0x8) != 0;
      if (flags & 0x80)
        return RarStatus::MissingPassword; // the headers that follow are encrypted
    } else if (type == kTypeEnd) {
      return RarStatus::End;
    } else if (type == kTypeFile) {
      RarEntry e;
      e.packSize = dataSize;
      e.unpSize = c.u32();
      e.hostOs = c.u8();
      e.crc = c.u32();
      e.hasCrc = true;
      e.fileTime = c.u32();
      e.unpVer = c.u8();
      e.method = c.u8();
      const std::uint16_t nameSize = c.u16();
      e.attributes = c.u32();
      if (flags & 0x100) {
        e.packSize |= static_cast<std::uint64_t>(c.u32()) << 32;
        e.unpSize |= static_cast<std::uint64_t>(c.u32()) << 32;
        next = off + size + e.packSize;
      }
      const auto name = c.bytes(nameSize);
      // Old archives with a file comment inside the header checksum only the header up to the
      // end of the name.
      if (!crcOk && ((flags & 0x8) == 0 ||
                     (codec::crc32Update(0, std::as_bytes(std::span(h).subspan(2, c.pos() - 2))) & 0xFFFF) != crc))
        return RarStatus::BadData;
      const auto zero = std::find(name.begin(), name.end(), std::uint8_t{0});
      const auto narrow = name.subspan(0, static_cast<std::size_t>(zero - name.begin()));
      e.name.assign(narrow.begin(), narrow.end());
      if (flags & 0x200) {
        if (zero != name.end())
          e.wideName = decodeOldUnicode(narrow, name.subspan(narrow.size() + 1));
        else
          appendUtf8To16(e.wideName, narrow);
        e.name = utf16ToUtf8(e.wideName);
      } else {
        for (const std::uint8_t ch : narrow)
          e.wideName.push_back(ch); // single-byte names are shown as their Latin-1 reading
      }
      e.splitBefore = (flags & 0x1) != 0;
      e.splitAfter = (flags & 0x2) != 0;
      e.encrypted = (flags & 0x4) != 0;
      e.solid = (flags & 0x10) != 0;
      e.directory = (flags & 0xE0) == 0xE0;
      e.dictionary = e.directory ? 0 : (64u * 1024) << ((flags >> 5) & 7);
      e.dataOffset = off + size;
      normaliseSeparators(e);
      nextHeader_ = next;
      entry = std::move(e);
      return RarStatus::Ok;
    }
    // Comments, service headers and old sub-blocks are passed over.
    if (next <= off)
      return RarStatus::BadData;
    nextHeader_ = next;
  }
}

RarStatus RarArchive::nextRar5(RarEntry& entry) {
  for (;;) {
    const std::uint64_t off = nextHeader_;
    if (off >= source_.size())
      return RarStatus::End;
    std::array<std::uint8_t, 7> head{};
    const std::size_t avail = static_cast<std::size_t>(std::min<std::uint64_t>(7, source_.size() - off));
    if (avail < 5 || !readAt(source_, off, std::span(head.data(), avail)))
      return RarStatus::BadData;
    Cursor hc(std::span<const std::uint8_t>(head.data(), avail));
    const std::uint32_t crc = hc.u32();
    const std::uint64_t headerSize = hc.vint();
    const std::size_t sizeLen = hc.pos() - 4;
    if (headerSize == 0 || headerSize > kMaxHeader5)
      return RarStatus::BadData;
    std::vector<std::uint8_t> h(static_cast<std::size_t>(headerSize) + sizeLen);
    if (!readAt(source_, off + 4, h))
      return RarStatus::BadData;
    if (codec::crc32Update(0, std::as_bytes(std::span(h))) != crc)
      return RarStatus::BadData;
    Cursor c(std::span<const std::uint8_t>(h).subspan(sizeLen));
    const std::uint64_t type = c.vint();
    const std::uint64_t flags = c.vint();
    std::uint64_t extraSize = 0;
    std::uint64_t dataSize = 0;
    if (flags & 0x1)
      extraSize = c.vint();
    if (flags & 0x2)
      dataSize = c.vint();
    if (extraSize > c.size())
      return RarStatus::BadData;
    const std::uint64_t dataOffset = off + 4 + h.size();
    if (dataSize > UINT64_MAX - dataOffset)
      return RarStatus::BadData;
    const std::uint64_t next = dataOffset + dataSize;
    const std::size_t extraStart = c.size() - static_cast<std::size_t>(extraSize);
    if (type == 1) { // main archive header
      const std::uint64_t af = c.vint();
      const std::uint64_t volume = (af & 0x2) ? c.vint() : 0;
      archiveFlags_ = rar5ArchiveFlags(af, volume);
      solidArchive_ = (af & 0x4) != 0;
    } else if (type == 4) { // archive encryption: every later header is encrypted
      archiveFlags_ |= kArcEncHeaders;
      return RarStatus::MissingPassword;
    } else if (type == 5) {
      return RarStatus::End;
    } else if (type == 2) {
      RarEntry e;
      const std::uint64_t ff = c.vint();
      e.unpSize = c.vint();
      e.attributes = static_cast<std::uint32_t>(c.vint());
      if (ff & 0x2)
        c.u32(); // modification time as Unix time; the DOS time field is left 0
      if (ff & 0x4) {
        e.crc = c.u32();
        e.hasCrc = true;
      }
      const std::uint64_t info = c.vint();
      e.hostOs = static_cast<std::uint32_t>(c.vint());
      const std::uint64_t nameLen = c.vint();
      const auto name = c.bytes(nameLen);
      e.name.assign(name.begin(), name.end());
      appendUtf8To16(e.wideName, name);
      e.directory = (ff & 0x1) != 0;
      e.packSize = dataSize;
      e.dataOffset = dataOffset;
      const unsigned algorithm = info & 0x3F;
      e.solid = (info & 0x40) != 0;
      const unsigned method = (info >> 7) & 7;
      e.method = 0x30 + method;
      e.unpVer = algorithm == 0 ? 50 : 70;
      e.dictionary = e.directory ? 0 : (128u * 1024ull) << ((info >> 10) & 0x1F);
      e.splitBefore = (flags & 0x8) != 0;
      e.splitAfter = (flags & 0x10) != 0;
      if (ff & 0x8)
        e.unpSize = UINT64_MAX; // unknown size: decode until the stream ends
      // Extra records.
      c.seek(extraStart);
      while (c.pos() < c.size()) {
        const std::uint64_t recSize = c.vint();
        const std::size_t recStart = c.pos();
        if (recSize == 0 || recSize > c.size() - recStart)
          return RarStatus::BadData;
        const std::uint64_t recType = c.vint();
        if (recType == 1) {
          e.encrypted = true;
        } else if (recType == 2) {
          if (c.vint() == 0 && c.has(32)) {
            const auto hash = c.bytes(32);
            std::copy(hash.begin(), hash.end(), e.hash.begin());
            e.blake2 = true;
          }
        } else if (recType == 5) {
          e.redirection = static_cast<std::uint32_t>(c.vint());
          c.vint(); // flags
          const auto target = c.bytes(c.vint());
          e.redirectTarget.assign(target.begin(), target.end());
        }
        c.seek(recStart + static_cast<std::size_t>(recSize));
      }
      // A cap on remembered copy sources, so a header flood cannot grow memory without end.
      constexpr std::size_t kMaxCopySources = 4096;
      if (e.redirection == 0 && !e.directory && !e.encrypted && !e.solid && !e.splitBefore && !e.splitAfter &&
          copySources_.size() < kMaxCopySources)
        copySources_.push_back(e);
      nextHeader_ = next;
      entry = std::move(e);
      return RarStatus::Ok;
    }
    // Service headers (comment, quick open, recovery) and unknown types are passed over.
    if (next <= off)
      return RarStatus::BadData;
    nextHeader_ = next;
  }
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
  if (e.redirection == 4 || e.redirection == 5) {
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
  if (e.method == 0x30) {
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
  if (solidArchive_ && !e.directory && e.method != 0x30 && !e.encrypted)
    return decode(nullptr);
  return RarStatus::Ok;
}

} // namespace kyv::unrar
