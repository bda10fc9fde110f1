// The header-field and parameter parser over arbitrary header blocks: every field's structured
// value, its parameters and its encoded words. Besides memory errors it checks the size rules
// the parser keeps: nothing it gives is longer than the text it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mail/header_fields.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 16;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string_view block(reinterpret_cast<const char*>(data), size);
  for (const std::string_view name : {"Content-Type", "Content-Disposition", "X"}) {
    const auto value = kyv::mail::FieldValue(block, name);
    if (!value)
      continue;
    if (value->size() > size)
      std::abort();
    const kyv::mail::TStructuredValue parsed = kyv::mail::ParseStructuredValue(*value);
    if (parsed.Token.size() > value->size())
      std::abort();
    for (const auto& param : parsed.Params) {
      if (param.Value.size() > value->size() || param.Name.empty())
        std::abort();
      if (kyv::mail::DecodeEncodedWords(param.Value).size() > param.Value.size())
        std::abort();
    }
  }
  if (kyv::mail::DecodeEncodedWords(block).size() > size)
    std::abort();
  return 0;
}
