#include "document/utf16_sink.h"

#include "base/utf.h"

namespace kyv::document {

namespace {
constexpr char32_t kReplacement = 0xFFFD;
bool isHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool isLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
} // namespace

void Utf16LeToUtf8Sink::unit(char16_t u, std::string& text) {
  if (high_ != 0) {
    if (isLow(u)) {
      appendUtf8(text, 0x10000 + ((static_cast<char32_t>(high_) - 0xD800) << 10) + (u - 0xDC00));
      high_ = 0;
      return;
    }
    appendUtf8(text, kReplacement);
    high_ = 0;
  }
  if (isHigh(u))
    high_ = u;
  else
    appendUtf8(text, isLow(u) ? kReplacement : u);
}

bool Utf16LeToUtf8Sink::write(std::span<const std::byte> data) {
  std::string text;
  text.reserve(data.size() * 3 / 2 + 4);
  std::size_t i = 0;
  if (oddByte_ && !data.empty()) {
    unit(static_cast<char16_t>(std::to_integer<unsigned>(*oddByte_) |
                               (std::to_integer<unsigned>(data[0]) << 8)),
         text);
    oddByte_.reset();
    i = 1;
  }
  for (; i + 1 < data.size(); i += 2)
    unit(static_cast<char16_t>(std::to_integer<unsigned>(data[i]) |
                               (std::to_integer<unsigned>(data[i + 1]) << 8)),
         text);
  if (i < data.size())
    oddByte_ = data[i];
  return out_.write(std::as_bytes(std::span(text)));
}

bool Utf16LeToUtf8Sink::finish() {
  if (high_ == 0)
    return true;
  std::string text;
  appendUtf8(text, kReplacement);
  high_ = 0;
  return out_.write(std::as_bytes(std::span(text)));
}

} // namespace kyv::document
