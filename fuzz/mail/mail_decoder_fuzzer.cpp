// One transfer decoder over arbitrary text, chosen at build time (1 base64, 2 quoted-printable,
// 3 uuencode). Besides memory errors it checks the one size rule every decoder keeps: no
// decoder gives more bytes than its text had characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mail/transfer_decoders.h"

namespace {
// Larger inputs find nothing new and only slow the run down.
constexpr std::size_t kMaxInput = 1 << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  kyv::NullSink sink;
#if KYV_MAIL_DECODER == 1
  if (!kyv::mail::DecodeBase64(text, sink))
    std::abort();
  // Four characters make three bytes; a leftover group of one to three makes one or two.
  if (sink.count() > size / 4 * 3 + 2)
    std::abort();
#elif KYV_MAIL_DECODER == 2
  if (!kyv::mail::DecodeQuotedPrintable(text, sink))
    std::abort();
#else
  if (!kyv::mail::DecodeUUE(text, sink))
    std::abort();
#endif
  if (sink.count() > size)
    std::abort();
  return 0;
}
