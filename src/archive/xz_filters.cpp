#include "archive/xz_filters.h"

namespace kyv::archive {

namespace {

const char* filterName(std::uint64_t id) {
  switch (id) {
  case kXzFilterDelta: return "Delta";
  case kXzFilterX86: return "x86";
  case kXzFilterPowerPc: return "PowerPC";
  case kXzFilterIa64: return "IA-64";
  case kXzFilterArm: return "ARM";
  case kXzFilterArmThumb: return "ARM-Thumb";
  case kXzFilterSparc: return "SPARC";
  case kXzFilterArm64: return "ARM64";
  case kXzFilterLzma2: return "LZMA2";
  default: return nullptr;
  }
}

} // namespace

std::optional<XzFilterChain> XzFilterChain::make(const std::vector<XzFilter>& filters, std::string& why) {
  if (filters.empty() || filters.back().id != kXzFilterLzma2) {
    why = "an xz block whose last filter is not LZMA2";
    return std::nullopt;
  }
  for (std::size_t i = 0; i + 1 < filters.size(); ++i) {
    const char* name = filterName(filters[i].id);
    why = name != nullptr && filters[i].id != kXzFilterLzma2
              ? std::string("the xz filter ") + name + " is not supported"
              : "an unknown xz filter " + std::to_string(filters[i].id);
    return std::nullopt;
  }
  return XzFilterChain();
}

bool XzFilterChain::process(std::span<std::byte> data, bool, const Deliver& deliver) {
  return deliver(data);
}

} // namespace kyv::archive
