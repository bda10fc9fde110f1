// Inflate on arbitrary bytes. The first byte picks the options (bit 0 Deflate64, bit 1 Adler-32,
// bit 2 test only, bit 3 a part size); the rest is the compressed stream. Output is capped so a
// small input that expands hugely stays quick; a success must report exactly what it wrote, and
// its checksum must be the checksum of that output.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "archive/ab_exception.h"
#include "codec/checksum.h"
#include "archive/inflate.h"
#include "base/byte_io.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::uint8_t mode = data[0];
  const std::span<const std::byte> stream(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  kyv::MemorySource source(stream);
  kyv::VectorSink sink(8u << 20);
  kyv::archive::TAbDeflateHelper helper;
  helper.Options = 0x0F;
  if (mode & 1)
    helper.Options |= kyv::archive::kDfDeflate64;
  if (mode & 2)
    helper.Options |= kyv::archive::kDfUseAdler32;
  const bool testOnly = (mode & 4) != 0;
  if (testOnly)
    helper.Options |= kyv::archive::kDfTestOnly;
  if (mode & 8)
    helper.PartialSize = 1 + (mode >> 4) * 4099;
  try {
    const std::uint32_t check = kyv::archive::Inflate(source, sink, &helper);
    const auto& out = sink.bytes();
    if (!testOnly && static_cast<std::int64_t>(out.size()) != helper.NormalSize)
      std::abort();
    if (helper.PartialSize == 0 && !testOnly) {
      const std::uint32_t want = (mode & 2) ? kyv::codec::adler32Update(1, out)
                                            : kyv::codec::crc32Update(0, out);
      if (check != want)
        std::abort();
    }
    if (helper.CompressedSize < 0 || static_cast<std::uint64_t>(helper.CompressedSize) > stream.size())
      std::abort();
  } catch (const kyv::archive::EAbInflateError&) {
  }
  return 0;
}
