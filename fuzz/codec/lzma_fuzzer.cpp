// LZMA and LZMA2 decoder on arbitrary bytes. Header: a mode byte (bit 0 LZMA2, bit 1 drain
// through read() in pieces of 1 + (mode >> 4) * 97 bytes instead of run(), bit 2 a known size),
// then for LZMA the properties byte, a dictionary byte (2^(12 + b % 9)) and a 16-bit size, for
// LZMA2 a dictionary byte (taken modulo 18); the rest is the stream. Output is capped. Whatever
// the outcome, what came out must be exactly what the decoder says it produced.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "base/byte_io.h"
#include "codec/lzma.h"

using kyv::codec::LzmaStatus;

namespace {
constexpr std::uint64_t kMaxOutput = 4u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5)
    return 0;
  const std::uint8_t mode = data[0];
  const bool lzma2 = (mode & 1) != 0;
  const std::size_t header = lzma2 ? 2 : 5;
  std::vector<std::byte> stream(size - header);
  if (!stream.empty())
    std::memcpy(stream.data(), data + header, stream.size());

  kyv::codec::LzmaDecoder d;
  std::uint64_t declared = kyv::codec::kLzmaUnknownSize;
  LzmaStatus s;
  if (lzma2) {
    if (mode & 4)
      declared = data[2];
    s = d.startLzma2(*kyv::codec::lzma2DictionarySize(data[1] % 18), declared);
  } else {
    auto props = kyv::codec::decodeLzmaPropertiesByte(data[1]);
    if (!props)
      return 0;
    props->dictionarySize = 1u << (12 + data[2] % 9);
    if (mode & 4)
      declared = data[3] | (std::uint64_t{data[4]} << 8);
    s = d.startLzma(*props, declared);
  }
  if (s != LzmaStatus::Ok)
    return 0;

  kyv::MemorySource source(stream);
  kyv::codec::InputBuffer in(source);
  std::uint64_t out = 0;
  if (mode & 2) {
    std::vector<std::byte> piece(1 + (mode >> 4) * 97);
    do {
      std::size_t n = 0;
      s = d.read(in, piece, n);
      if (n > piece.size() || (s == LzmaStatus::Ok && n != piece.size()))
        std::abort();
      out += n;
    } while (s == LzmaStatus::Ok && out < kMaxOutput);
  } else {
    kyv::NullSink sink;
    s = d.run(in, sink, kMaxOutput);
    out = sink.count();
    if (out > kMaxOutput || (s == LzmaStatus::LimitReached && out != kMaxOutput))
      std::abort();
  }
  if (out != d.produced() || in.consumed() > stream.size())
    std::abort();
  if (s == LzmaStatus::StreamEnd && declared != kyv::codec::kLzmaUnknownSize && !lzma2 &&
      out != declared)
    std::abort();
  return 0;
}
