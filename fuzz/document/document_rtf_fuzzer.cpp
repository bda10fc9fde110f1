// The RTF tokenizer and object walk over arbitrary bytes, and the OLE1 object and package
// parsers over every object found, as the kernel reads them. Besides memory errors it checks
// that no object holds more than the input could encode (every byte takes at least one byte of
// RTF: two hex digits, or itself after \bin) nor more than the limit given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "document/ole1_object.h"
#include "document/rtf_objects.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 20;
constexpr std::uint64_t kLimit = 1 << 16;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::span<const std::byte> rtf(reinterpret_cast<const std::byte*>(data), size);
  std::uint64_t total = 0;
  (void)kyv::document::ScanRtfObjects(rtf, kLimit, [&](kyv::document::TRtfObject& object) {
    total += object.Data.size();
    if (object.Data.size() > kLimit || total > size)
      std::abort();
    const auto ole = kyv::document::ParseOle1Object(object.Data, object.Data.size());
    if (!ole)
      return true;
    if (ole->NativeOffset + ole->NativeSize > object.Data.size())
      std::abort();
    const auto native = std::span(object.Data).subspan(ole->NativeOffset, ole->NativeSize);
    if (const auto package = kyv::document::ParsePackage(native, native.size())) {
      if (package->DataOffset + package->DataSize > native.size())
        std::abort();
      (void)kyv::document::PackageFileName(*package);
    }
    return true;
  });
  return 0;
}
