// The search of web pages for base64 files over arbitrary bytes, with the recognition test of
// their head. Besides memory errors it checks that no member is larger than the page could
// decode to (three bytes for every four characters) and that members are begun and ended in pairs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "document/html_blobs.h"

namespace {
constexpr std::size_t kMaxInput = 1 << 20;

class CountingTarget final : public kyv::document::HtmlBlobTarget, public kyv::ByteSink {
public:
  kyv::ByteSink* BeginMember(const std::string&) override {
    if (open_)
      std::abort();
    open_ = true;
    return this;
  }
  void EndMember(bool) override {
    if (!open_)
      std::abort();
    open_ = false;
  }
  bool write(std::span<const std::byte> data) override {
    if (!open_)
      std::abort();
    total_ += data.size();
    return true;
  }
  std::uint64_t total() const { return total_; }
  bool open() const { return open_; }

private:
  bool open_ = false;
  std::uint64_t total_ = 0;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput)
    return 0;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  (void)kyv::document::LooksLikeHtml(bytes);
  CountingTarget target;
  kyv::document::FindHtmlBlobs(std::string_view(reinterpret_cast<const char*>(data), size), target);
  // Each member's base64 characters come from the page; the last group of a member may give one
  // byte for a lone character, so allow one byte per member beyond three quarters.
  if (target.open() || target.total() > size * 3 / 4 + size / 8 + 1)
    std::abort();
  return 0;
}
