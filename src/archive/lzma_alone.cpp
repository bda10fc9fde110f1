#include "archive/lzma_alone.h"

#include <array>

#include "base/endian.h"
#include "codec/bit_input.h"
#include "codec/lzma.h"

namespace kyv::archive {

namespace {

constexpr std::uint64_t kUnknownSize = UINT64_MAX;
constexpr std::uint64_t kMaxPlausibleSize = std::uint64_t{1} << 40;

bool isProducerDictionary(std::uint32_t d) {
  if (d < 4096 || d > (3u << 29))
    return false;
  const std::uint32_t top = 1u << (31 - __builtin_clz(d));
  return d == top || d == top + top / 2;
}

StreamOutcome fromStatus(codec::LzmaStatus s) {
  StreamOutcome o;
  using codec::LzmaStatus;
  if (s == LzmaStatus::StreamEnd)
    return o;
  if (s == LzmaStatus::WriteRefused)
    o.note(StreamProblem::WriteRefused, "output refused");
  else if (s == LzmaStatus::DictionaryTooLarge || s == LzmaStatus::NoMemory)
    o.note(StreamProblem::TooLarge, codec::lzmaStatusText(s));
  else
    o.note(StreamProblem::Damaged, codec::lzmaStatusText(s));
  return o;
}

} // namespace

bool looksLikeLzmaAlone(std::span<const std::byte> head) {
  if (head.size() < kLzmaAloneHeaderSize + 1)
    return false;
  const std::uint64_t size = loadLe64(head.data() + 5);
  // A stream that declares no bytes at all would give nothing to scan, and twenty bytes every
  // Office object carries (the "\1Ole" stream) read as one.
  return std::to_integer<unsigned>(head[0]) < 225 &&
         isProducerDictionary(loadLe32(head.data() + 1)) &&
         (size == kUnknownSize || (size > 0 && size < kMaxPlausibleSize)) &&
         head[kLzmaAloneHeaderSize] == std::byte{0};
}

std::optional<std::uint64_t> lzmaAloneDeclaredSize(std::span<const std::byte> head) {
  if (head.size() < kLzmaAloneHeaderSize)
    return std::nullopt;
  const std::uint64_t size = loadLe64(head.data() + 5);
  if (size == kUnknownSize)
    return std::nullopt;
  return size;
}

StreamOutcome DecodeLzmaAlone(ByteSource& file, ByteSink& out) {
  std::array<std::byte, kLzmaAloneHeaderSize> header;
  StreamOutcome o;
  const auto props = file.readExact(header) ? codec::parseLzmaProperties(header) : std::nullopt;
  if (!props) {
    o.note(StreamProblem::Damaged, "not an LZMA file");
    return o;
  }
  codec::LzmaDecoder d;
  const std::uint64_t size = loadLe64(header.data() + 5);
  codec::LzmaStatus s = d.startLzma(*props, size == kUnknownSize ? codec::kLzmaUnknownSize : size);
  if (s == codec::LzmaStatus::Ok) {
    codec::InputBuffer in(file);
    s = d.run(in, out);
  }
  return fromStatus(s);
}

} // namespace kyv::archive
