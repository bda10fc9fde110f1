// The filters of an xz block that run after LZMA2 when decoding (the encoder ran them before
// it): each takes the output of the one after it in the header's list.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "archive/xz_format.h"
#include "codec/filter_stages.h"

namespace kyv::archive {

class XzFilterChain {
public:
  using Deliver = std::function<bool(std::span<const std::byte>)>;

  // The chain for a block's filter list, whose last entry must be LZMA2; nullopt (with the
  // reason) for a list this reader cannot decode.
  static std::optional<XzFilterChain> make(const std::vector<XzFilter>& filters, std::string& why);

  // Passes one piece of LZMA2 output through the filters to deliver (which may be called
  // several times, or not at all for bytes a filter holds back); `last` flushes what is held.
  // False when deliver refused.
  bool process(std::span<const std::byte> data, bool last, const Deliver& deliver);

private:
  // The end of the chain: hands what comes out of the first filter to the current deliver.
  struct Outlet final : ByteSink {
    const Deliver* deliver = nullptr;
    bool write(std::span<const std::byte> data) override { return (*deliver)(data); }
  };

  XzFilterChain() : outlet_(std::make_unique<Outlet>()) {}

  // On the heap, so that the stages' references to each other survive a move of the chain.
  std::unique_ptr<Outlet> outlet_;
  // In decoding order: the filter nearest LZMA2 first, the list's first filter last.
  std::vector<std::unique_ptr<codec::FilterStage>> stages_;
};

} // namespace kyv::archive
