#include "document/ppt_objects.h"

#include <array>

#include "base/endian.h"
#include "codec/inflate.h"

namespace kyv::document {

namespace {

constexpr std::size_t kRecordHeader = 8;
constexpr unsigned kContainerVersion = 0xF;
constexpr std::uint16_t kExOleObjStg = 0x1011;
constexpr unsigned kCompressedInstance = 1;
// Before the zlib stream: the decompressed size (4), then the zlib header (2): method 8 in the
// low nibble of the first byte, no preset dictionary, the pair a multiple of 31.
constexpr std::size_t kSizeField = 4;
constexpr std::size_t kZlibHeader = 2;

bool zlibHeaderOk(std::byte cmf, std::byte flg) {
  const unsigned c = std::to_integer<unsigned>(cmf), f = std::to_integer<unsigned>(flg);
  return (c & 0x0F) == 8 && (c >> 4) <= 7 && (f & 0x20) == 0 && (c * 256 + f) % 31 == 0;
}

} // namespace

std::vector<TPptObject> FindPptObjects(ByteSource& stream) {
  std::vector<TPptObject> objects;
  const std::uint64_t size = stream.size();
  std::uint64_t at = 0;
  std::array<std::byte, kRecordHeader> header{};
  // Containers are entered by stepping over their header only, so the walk is flat and its
  // length bounded by the stream, however deep containers nest.
  while (size - at >= kRecordHeader && objects.size() < kMaxPptObjects) {
    if (!stream.seek(at) || !stream.readExact(header))
      break;
    const std::uint16_t verInstance = loadLe16(header.data());
    const std::uint16_t type = loadLe16(header.data() + 2);
    const std::uint64_t length = loadLe32(header.data() + 4);
    at += kRecordHeader;
    if ((verInstance & 0xF) == kContainerVersion)
      continue;
    const std::uint64_t body = std::min(length, size - at);
    if (type == kExOleObjStg)
      objects.push_back({at, body, (verInstance >> 4) == kCompressedInstance});
    at += body;
  }
  return objects;
}

TPptWrite WritePptObject(ByteSource& stream, const TPptObject& object, ByteSink& sink) {
  if (!object.Compressed) {
    SubRangeSource body(stream, object.Offset, object.Length);
    std::uint64_t copied = 0;
    if (!copyAll(body, sink, copied))
      return TPptWrite::SinkRefused;
    return copied == object.Length ? TPptWrite::Complete : TPptWrite::Damaged;
  }
  // The decompressed size is not needed: the stream says where it ends, and the scan's budget
  // bounds what it gives.
  std::array<std::byte, kSizeField + kZlibHeader> head{};
  if (object.Length < head.size() || !stream.seek(object.Offset) || !stream.readExact(head) ||
      !zlibHeaderOk(head[kSizeField], head[kSizeField + 1]))
    return TPptWrite::Damaged;
  SubRangeSource deflated(stream, object.Offset + head.size(), object.Length - head.size());
  codec::Inflater inflater(deflated, {});
  const codec::InflateStatus status = inflater.run(sink);
  if (status == codec::InflateStatus::WriteRefused)
    return TPptWrite::SinkRefused;
  return status == codec::InflateStatus::Ok ? TPptWrite::Complete : TPptWrite::Damaged;
}

} // namespace kyv::document
