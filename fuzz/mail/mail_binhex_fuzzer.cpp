// The BinHex 4.0 reader over arbitrary text: the header, then both forks into a bounded sink.
// Besides memory errors it checks what the reader promises: a fork never yields more bytes than
// its header declares.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/byte_io.h"
#include "mail/binhex.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 16;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (kyv::mail::FindBinHex(text) == std::string_view::npos)
    return 0;
  kyv::mail::TBinHexReader reader(text);
  if (!reader.ReadHeader())
    return 0;
  kyv::NullSink data_fork;
  const auto d = reader.ReadDataFork(data_fork);
  if (d.Written > reader.DataLength() || data_fork.count() != d.Written)
    std::abort();
  kyv::NullSink resource_fork;
  const auto r = reader.ReadResourceFork(resource_fork);
  if (r.Written > reader.ResourceLength() || resource_fork.count() != r.Written)
    std::abort();
  return 0;
}
