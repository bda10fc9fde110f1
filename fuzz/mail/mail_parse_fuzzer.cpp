// The MIME parser over arbitrary messages, every part written through its decoder. Checks the
// part cap and that no part's body outgrows the message (a lone CR or LF becomes CR LF, so a
// body is at most twice the text). Built a second time with KYV_MAIL_MBOX, which puts an mbox
// "From " line in front of every input so that the splitting into messages is fuzzed too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/email_parser.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 20;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  kyv::mail::TEmailParser parser;
#if KYV_MAIL_MBOX
  std::string text = "From a@b Thu Dec 10 10:00:00 2026\r\n";
  text.append(reinterpret_cast<const char*>(data), size);
  size = text.size();
  if (!parser.ParseText(text))
    std::abort();
  if (parser.MessageCount() == 0 || parser.MessageCount() > size / 6 + 1)
    std::abort();
#else
  if (!parser.ParseText(std::string_view(reinterpret_cast<const char*>(data), size)))
    std::abort();
#endif
  if (parser.PartCount() > kyv::mail::kMaxParts)
    std::abort();
  for (auto& part : parser.Parts()) {
    if (part.Body.size() > 2 * size + 2 || part.Headers.size() > 2 * size + 2)
      std::abort();
    kyv::NullSink sink;
    if (!kyv::mail::TEmailParser::WritePart(part, sink))
      std::abort();
  }
  return 0;
}
