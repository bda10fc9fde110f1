// The document stream filters, chained as a document may chain them. Input: a byte naming up to
// three filters (two bits each: LZW, ASCII85, ASCIIHex, run length), a byte of predictor choice
// (PNG, TIFF or none, colours, bits), a byte of columns, then the encoded data. Output goes to a
// sink of 1 MiB.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "codec/lzw.h"
#include "codec/predictor.h"
#include "codec/run_length.h"
#include "codec/text_filters.h"

namespace {
constexpr std::size_t kMaxOutput = 1u << 20;
constexpr int kBits[] = {1, 2, 4, 8, 16};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kyv::codec;
  if (size < 3)
    return 0;
  std::vector<std::byte> input(size - 3);
  if (!input.empty())
    std::memcpy(input.data(), data + 3, input.size());
  kyv::VectorSink out(kMaxOutput);
  // The push filters behind LZW: predictor last, then the text ones in front of it.
  std::vector<std::unique_ptr<PushFilter>> chain;
  kyv::ByteSink* sink = &out;
  PredictorParams p;
  p.predictor = data[1] % 3 == 0 ? 12 : data[1] % 3 == 1 ? 2 : 1;
  p.colors = 1 + (data[1] >> 2) % 4;
  p.bitsPerComponent = kBits[(data[1] >> 4) % 5];
  p.columns = 1 + data[2];
  if (p.predictor != 1 && predictorRowBytes(p)) {
    chain.push_back(std::make_unique<PredictorDecoder>(*sink, p));
    sink = chain.back().get();
  }
  bool lzw = false;
  for (int i = 0; i < 3; ++i) {
    switch ((data[0] >> (2 * i)) & 3) {
    case 0:
      lzw = true;
      break;
    case 1:
      chain.push_back(std::make_unique<Ascii85Decoder>(*sink));
      sink = chain.back().get();
      break;
    case 2:
      chain.push_back(std::make_unique<AsciiHexDecoder>(*sink));
      sink = chain.back().get();
      break;
    case 3:
      chain.push_back(std::make_unique<RunLengthDecoder>(*sink));
      sink = chain.back().get();
      break;
    }
  }
  if (lzw) {
    kyv::MemorySource source(input);
    (void)lzwDecode(source, *sink, (data[0] & 0x40) != 0);
  } else {
    (void)sink->write(input);
  }
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    (void)(*it)->finish();
  return 0;
}
