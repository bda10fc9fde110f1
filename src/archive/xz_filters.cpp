#include "archive/xz_filters.h"

#include <algorithm>

#include "base/endian.h"

namespace kyv::archive {

namespace {

const char* filterName(std::uint64_t id) {
  switch (id) {
  case kXzFilterDelta:
    return "Delta";
  case kXzFilterX86:
    return "x86";
  case kXzFilterPowerPc:
    return "PowerPC";
  case kXzFilterIa64:
    return "IA-64";
  case kXzFilterArm:
    return "ARM";
  case kXzFilterArmThumb:
    return "ARM-Thumb";
  case kXzFilterSparc:
    return "SPARC";
  case kXzFilterArm64:
    return "ARM64";
  case kXzFilterLzma2:
    return "LZMA2";
  default:
    return nullptr;
  }
}

std::optional<codec::BranchArch> branchArch(std::uint64_t id) {
  switch (id) {
  case kXzFilterX86:
    return codec::BranchArch::X86;
  case kXzFilterPowerPc:
    return codec::BranchArch::PowerPc;
  case kXzFilterIa64:
    return codec::BranchArch::Ia64;
  case kXzFilterArm:
    return codec::BranchArch::Arm;
  case kXzFilterArmThumb:
    return codec::BranchArch::ArmThumb;
  case kXzFilterSparc:
    return codec::BranchArch::Sparc;
  case kXzFilterArm64:
    return codec::BranchArch::Arm64;
  default:
    return std::nullopt;
  }
}

} // namespace

std::optional<XzFilterChain> XzFilterChain::make(const std::vector<XzFilter>& filters,
                                                 std::string& why) {
  if (filters.empty() || filters.back().id != kXzFilterLzma2) {
    why = "an xz block whose last filter is not LZMA2";
    return std::nullopt;
  }
  XzFilterChain chain;
  ByteSink* next = chain.outlet_.get();
  // Built from the list's first filter (whose output is the block's data) inwards, each stage
  // writing into the one built before it; then reversed into decoding order.
  for (std::size_t i = 0; i + 1 < filters.size(); ++i) {
    const XzFilter& f = filters[i];
    const char* name = filterName(f.id);
    if (f.id == kXzFilterDelta && f.properties.size() == 1) {
      chain.stages_.push_back(std::make_unique<codec::DeltaStage>(f.properties[0] + 1u, *next));
    } else if (const auto arch = branchArch(f.id);
               arch && (f.properties.empty() || f.properties.size() == 4)) {
      const std::uint32_t start =
          f.properties.size() == 4
              ? loadLe32(reinterpret_cast<const std::byte*>(f.properties.data()))
              : 0;
      chain.stages_.push_back(std::make_unique<codec::BranchStage>(*arch, start, *next));
    } else {
      why = name == nullptr          ? "an unknown xz filter " + std::to_string(f.id)
            : f.id == kXzFilterLzma2 ? std::string("an xz block with LZMA2 before its last filter")
                                     : std::string("bad properties of the xz filter ") + name;
      return std::nullopt;
    }
    next = chain.stages_.back().get();
  }
  std::reverse(chain.stages_.begin(), chain.stages_.end());
  return chain;
}

bool XzFilterChain::process(std::span<const std::byte> data, bool last, const Deliver& deliver) {
  outlet_->deliver = &deliver;
  if (stages_.empty())
    return deliver(data);
  if (!data.empty() && !stages_.front()->write(data))
    return false;
  if (last)
    for (const auto& stage : stages_)
      if (!stage->finish())
        return false;
  return true;
}

} // namespace kyv::archive
