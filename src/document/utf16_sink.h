// Text held as UTF-16 little-endian (the bodies of Outlook messages) passed on as UTF-8, as text
// files carry it, so that what a reader sees is what gets scanned. Works piece by piece: a code
// unit or a surrogate pair split between two writes is joined.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/byte_io.h"

namespace kyv::document {

class Utf16LeToUtf8Sink final : public ByteSink {
public:
  explicit Utf16LeToUtf8Sink(ByteSink& out) : out_(out) {}
  bool write(std::span<const std::byte> data) override;
  // Passes on what is still held: a lone first half of a pair becomes U+FFFD; an odd last byte
  // is no character and is dropped.
  [[nodiscard]] bool finish();

private:
  void unit(char16_t u, std::string& text);

  ByteSink& out_;
  std::optional<std::byte> oddByte_;
  char16_t high_ = 0; // a first half waiting for its second
};

} // namespace kyv::document
