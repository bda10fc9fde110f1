// The filters of an xz block that run after LZMA2 when decoding (the encoder ran them before
// it): each takes the output of the one after it in the header's list.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/xz_format.h"

namespace kyv::archive {

class XzFilterChain {
public:
  using Deliver = std::function<bool(std::span<std::byte>)>;

  // The chain for a block's filter list, whose last entry must be LZMA2; nullopt (with the
  // reason) for a list this reader cannot decode.
  static std::optional<XzFilterChain> make(const std::vector<XzFilter>& filters, std::string& why);

  // Passes one piece of LZMA2 output through the filters to deliver (which may be called
  // several times, or not at all for bytes a filter holds back); `last` flushes what is held.
  // False when deliver refused.
  bool process(std::span<std::byte> data, bool last, const Deliver& deliver);

private:
  XzFilterChain() = default;
};

} // namespace kyv::archive
