// CHM container: open from memory, then extract every item, as the unpacking kernel would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "base/error.h"
#include "chm/chm_unpacker.h"
#include "owned_source.h"

namespace {
constexpr std::size_t kMaxInput = 1u << 20;
constexpr std::size_t kMaxItemOutput = 1u << 22;
// Decoded bytes no item asks for (gaps, decoding again after a step back), all items together:
// as the scan budget bounds them, so that one input cannot keep the decoder busy for minutes.
constexpr std::uint64_t kMaxSkippedOutput = std::uint64_t{64} << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  std::vector<std::byte> bytes(size);
  if (size != 0)
    std::memcpy(bytes.data(), data, size);
  kyv::chm::TCHMUnpacker unpacker;
  try {
    if (!unpacker.Open(std::make_unique<kyv::test::OwnedSource>(std::move(bytes))))
      return 0;
    std::uint64_t skipped = 0;
    unpacker.DecodeGate = [&skipped](std::uint64_t n) {
      skipped += n;
      return skipped <= kMaxSkippedOutput;
    };
    // Directory order, as a caller that looks items up by name would ask: steps back included.
    for (const auto& item : unpacker.Items()) {
      kyv::VectorSink sink(kMaxItemOutput);
      (void)unpacker.ExtractItem(sink, item);
    }
  } catch (const kyv::Error&) {
    // reported read errors are part of the contract
  }
  return 0;
}
