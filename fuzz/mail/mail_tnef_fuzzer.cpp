// The TNEF reader over arbitrary bytes, embedded messages followed a few levels down as the
// kernel would. Besides memory errors it checks that every attachment is a span inside the bytes
// it was read from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "mail/tnef.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 16;
constexpr int kMaxLevels = 4;

void readLevel(std::span<const std::byte> bytes, int level) {
  kyv::mail::TTnefReader reader;
  if (!reader.Read(bytes))
    return;
  for (const auto& a : reader.Attachments()) {
    if (!a.Data.empty() && (a.Data.data() < bytes.data() ||
                            a.Data.data() + a.Data.size() > bytes.data() + bytes.size()))
      std::abort();
    if (a.Embedded && level < kMaxLevels)
      readLevel(a.Data, level + 1);
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  readLevel({reinterpret_cast<const std::byte*>(data), size}, 0);
  return 0;
}
