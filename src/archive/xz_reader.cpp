#include "archive/xz_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "archive/xz_filters.h"
#include "archive/xz_format.h"
#include "codec/bit_input.h"
#include "codec/checksum.h"
#include "codec/lzma.h"
#include "codec/sha256.h"

namespace kyv::archive {

namespace {

using codec::InputBuffer;
using codec::LzmaStatus;

// Output is decoded, filtered and checked in pieces of this size.
constexpr std::size_t kPiece = 64 * 1024;

// The running integrity check of one block.
class BlockCheck {
public:
  explicit BlockCheck(unsigned type) : type_(type) {
    if (type == kXzCheckSha256)
      state_.emplace<codec::Sha256>();
  }
  // Whether this reader can verify the type (the others are skipped, as their size is known).
  bool known() const {
    return type_ == kXzCheckNone || type_ == kXzCheckCrc32 || type_ == kXzCheckCrc64 ||
           type_ == kXzCheckSha256;
  }
  void update(std::span<const std::byte> data) {
    if (type_ == kXzCheckCrc32)
      crc32_ = codec::crc32Update(crc32_, data);
    else if (type_ == kXzCheckCrc64)
      crc64_ = codec::crc64Update(crc64_, data);
    else if (auto* sha = std::get_if<codec::Sha256>(&state_))
      sha->update(data);
  }
  // The field as the encoder stores it (little-endian CRCs, the digest as is).
  bool matches(std::span<const std::uint8_t> stored) {
    std::vector<std::uint8_t> mine;
    if (type_ == kXzCheckCrc32)
      for (int i = 0; i < 4; ++i)
        mine.push_back(static_cast<std::uint8_t>(crc32_ >> (8 * i)));
    else if (type_ == kXzCheckCrc64)
      for (int i = 0; i < 8; ++i)
        mine.push_back(static_cast<std::uint8_t>(crc64_ >> (8 * i)));
    else if (auto* sha = std::get_if<codec::Sha256>(&state_)) {
      const auto d = sha->finish();
      mine.assign(d.begin(), d.end());
    }
    return std::equal(mine.begin(), mine.end(), stored.begin(), stored.end());
  }
  const char* name() const {
    switch (type_) {
    case kXzCheckCrc32:
      return "CRC-32";
    case kXzCheckCrc64:
      return "CRC-64";
    case kXzCheckSha256:
      return "SHA-256";
    default:
      return "check";
    }
  }

private:
  unsigned type_;
  std::uint32_t crc32_ = 0;
  std::uint64_t crc64_ = 0;
  std::variant<std::monostate, codec::Sha256> state_;
};

struct IndexRecord {
  std::uint64_t unpaddedSize;
  std::uint64_t uncompressedSize;
};

class XzDecoder {
public:
  XzDecoder(ByteSource& file, ByteSink& out) : in_(file), out_(out) {}
  StreamOutcome run();

private:
  bool readBytes(std::uint8_t* p, std::size_t n);
  bool atEnd();
  bool damaged(const std::string& why) {
    outcome_.note(StreamProblem::Damaged, why);
    return false;
  }
  bool decodeStream(const std::array<std::uint8_t, kXzStreamHeaderSize>& header);
  bool decodeBlock(std::uint8_t first, unsigned checkType, std::vector<IndexRecord>& records);
  bool decodeBlockData(const XzBlockHeader& h, BlockCheck& check, std::uint64_t& uncompressed);
  bool readIndex(const std::vector<IndexRecord>& records, std::uint64_t& indexSize);
  bool skipStreamPadding(bool& another, std::array<std::uint8_t, kXzStreamHeaderSize>& next);

  InputBuffer in_;
  ByteSink& out_;
  StreamOutcome outcome_;
  codec::LzmaDecoder lzma_; // kept across blocks: its window is reused when it fits
  std::vector<std::byte> piece_ = std::vector<std::byte>(kPiece);
};

bool XzDecoder::readBytes(std::uint8_t* p, std::size_t n) {
  const unsigned overread = in_.overread;
  for (std::size_t i = 0; i < n; ++i)
    p[i] = in_.byteOrPad();
  return in_.overread == overread;
}

bool XzDecoder::atEnd() {
  if (in_.available() == 0 && !in_.atEnd())
    in_.fillBuffer();
  return in_.available() == 0;
}

StreamOutcome XzDecoder::run() {
  std::array<std::uint8_t, kXzStreamHeaderSize> header;
  if (!readBytes(header.data(), header.size()) || !parseXzStreamHeader(header)) {
    damaged("not an xz stream");
    return outcome_;
  }
  for (;;) {
    if (!decodeStream(header))
      return outcome_;
    bool another = false;
    if (!skipStreamPadding(another, header) || !another)
      return outcome_;
  }
}

bool XzDecoder::decodeStream(const std::array<std::uint8_t, kXzStreamHeaderSize>& header) {
  const XzStreamFlags flags = *parseXzStreamHeader(header);
  std::vector<IndexRecord> records;
  for (;;) {
    std::uint8_t first = 0;
    if (!readBytes(&first, 1))
      return damaged("the file ends inside a stream");
    if (first == 0)
      break; // the index indicator
    if (!decodeBlock(first, flags.check, records))
      return false;
  }
  std::uint64_t indexSize = 0;
  if (!readIndex(records, indexSize))
    return false;
  std::array<std::uint8_t, kXzStreamFooterSize> footer;
  if (!readBytes(footer.data(), footer.size()))
    return damaged("the file ends inside a stream footer");
  const auto f = parseXzStreamFooter(footer);
  if (!f || f->flags.check != flags.check || f->indexSize != indexSize)
    return damaged("damaged stream footer");
  return true;
}

bool XzDecoder::decodeBlock(std::uint8_t first, unsigned checkType,
                            std::vector<IndexRecord>& records) {
  std::vector<std::uint8_t> raw((std::size_t{first} + 1) * 4);
  raw[0] = first;
  if (!readBytes(raw.data() + 1, raw.size() - 1))
    return damaged("the file ends inside a block header");
  const auto h = parseXzBlockHeader(raw);
  if (!h)
    return damaged("damaged block header");
  BlockCheck check(checkType);
  const std::uint64_t start = in_.consumed();
  std::uint64_t uncompressed = 0;
  if (!decodeBlockData(*h, check, uncompressed))
    return false;
  const std::uint64_t compressed = in_.consumed() - start;
  if ((h->compressedSize != kXzUnknown && h->compressedSize != compressed) ||
      (h->uncompressedSize != kXzUnknown && h->uncompressedSize != uncompressed))
    return damaged("a block's sizes differ from its header");
  std::array<std::uint8_t, 64> field{};
  const std::size_t padding = (4 - compressed % 4) % 4;
  if (!readBytes(field.data(), padding) ||
      std::any_of(field.begin(), field.begin() + padding, [](auto b) { return b != 0; }))
    return damaged("damaged block padding");
  const std::size_t checkSize = xzCheckSize(checkType);
  if (!readBytes(field.data(), checkSize))
    return damaged("the file ends inside a block check");
  if (check.known() && !check.matches(std::span(field.data(), checkSize)))
    outcome_.note(StreamProblem::Damaged, std::string(check.name()) + " mismatch");
  records.push_back({h->headerSize + compressed + checkSize, uncompressed});
  return true;
}

bool XzDecoder::decodeBlockData(const XzBlockHeader& h, BlockCheck& check,
                                std::uint64_t& uncompressed) {
  std::string why;
  auto filters = XzFilterChain::make(h.filters, why);
  if (!filters) {
    outcome_.note(StreamProblem::Unsupported, why);
    return false;
  }
  const XzFilter& last = h.filters.back();
  const auto dictionary =
      last.properties.size() == 1 ? codec::lzma2DictionarySize(last.properties[0]) : std::nullopt;
  if (!dictionary)
    return damaged("bad LZMA2 properties");
  LzmaStatus s = lzma_.startLzma2(*dictionary, h.uncompressedSize);
  // Everything decoded passes the filters, the check and the sink, in that order.
  auto deliver = [&](std::span<const std::byte> data) {
    check.update(data);
    uncompressed += data.size();
    if (!data.empty() && !out_.write(data)) {
      outcome_.note(StreamProblem::WriteRefused, "output refused");
      return false;
    }
    return true;
  };
  while (s == LzmaStatus::Ok) {
    std::size_t n = 0;
    s = lzma_.read(in_, piece_, n);
    if (!filters->process(std::span(piece_).first(n), s == LzmaStatus::StreamEnd, deliver))
      return false;
    if (h.uncompressedSize != kXzUnknown && uncompressed > h.uncompressedSize)
      return damaged("a block holds more than its header says");
  }
  if (s == LzmaStatus::StreamEnd)
    return true;
  if (s == LzmaStatus::DictionaryTooLarge || s == LzmaStatus::NoMemory)
    outcome_.note(StreamProblem::TooLarge, codec::lzmaStatusText(s));
  else
    damaged(codec::lzmaStatusText(s));
  return false;
}

// Index: the indicator (read by the caller), the record count, one record per block (unpadded
// and uncompressed sizes), zero padding to four bytes, and the CRC-32 of all of it.
bool XzDecoder::readIndex(const std::vector<IndexRecord>& records, std::uint64_t& indexSize) {
  std::uint32_t crc = codec::crc32Update(0, std::as_bytes(std::span("\0", 1)));
  std::uint64_t size = 1;
  bool ok = true;
  auto vli = [&]() -> std::uint64_t {
    std::array<std::uint8_t, 9> b{};
    std::size_t n = 0;
    do {
      if (!readBytes(&b[n], 1)) {
        ok = false;
        return 0;
      }
    } while ((b[n++] & 0x80) != 0 && n < b.size());
    crc = codec::crc32Update(crc, std::as_bytes(std::span(b.data(), n)));
    size += n;
    const std::uint8_t* p = b.data();
    const auto v = readXzVli(p, b.data() + n);
    ok = ok && v.has_value();
    return v.value_or(0);
  };
  const std::uint64_t count = vli();
  if (!ok || count != records.size())
    return damaged("the index does not list the blocks");
  for (const IndexRecord& r : records) {
    const std::uint64_t unpadded = vli();
    const std::uint64_t uncompressed = vli();
    if (!ok || unpadded != r.unpaddedSize || uncompressed != r.uncompressedSize)
      return damaged("the index does not match the blocks");
  }
  std::array<std::uint8_t, 4> pad{};
  const std::size_t padding = (4 - size % 4) % 4;
  if (!readBytes(pad.data(), padding) ||
      std::any_of(pad.begin(), pad.begin() + padding, [](auto b) { return b != 0; }))
    return damaged("damaged index padding");
  crc = codec::crc32Update(crc, std::as_bytes(std::span(pad.data(), padding)));
  size += padding;
  std::array<std::uint8_t, 4> stored{};
  if (!readBytes(stored.data(), 4) ||
      crc != (std::uint32_t{stored[0]} | (std::uint32_t{stored[1]} << 8) |
              (std::uint32_t{stored[2]} << 16) | (std::uint32_t{stored[3]} << 24)))
    return damaged("damaged index");
  indexSize = size + 4;
  return true;
}

// After a stream: zero bytes in groups of four, then the end of the file or another stream.
bool XzDecoder::skipStreamPadding(bool& another,
                                  std::array<std::uint8_t, kXzStreamHeaderSize>& next) {
  for (;;) {
    if (atEnd()) {
      another = false;
      return true;
    }
    std::array<std::uint8_t, 4> group{};
    if (!readBytes(group.data(), 4))
      return damaged("stream padding is not a multiple of four bytes");
    if (group == std::array<std::uint8_t, 4>{})
      continue;
    std::copy(group.begin(), group.end(), next.begin());
    if (!readBytes(next.data() + 4, next.size() - 4) || !parseXzStreamHeader(next))
      return damaged("data after the end of the stream");
    another = true;
    return true;
  }
}

} // namespace

bool isXzSignature(std::span<const std::byte> head) {
  return head.size() >= kXzMagic.size() &&
         std::equal(
             kXzMagic.begin(), kXzMagic.end(), head.begin(),
             [](std::uint8_t m, std::byte b) { return m == std::to_integer<std::uint8_t>(b); });
}

StreamOutcome DecodeXz(ByteSource& file, ByteSink& out) {
  XzDecoder d(file, out);
  return d.run();
}

} // namespace kyv::archive
