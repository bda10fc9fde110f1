// The branch converters and the byte-delta filter as sinks that pass pieces on to the next sink:
// the form in which the container formats (7z folders, xz blocks) chain them behind a decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_io.h"
#include "codec/branch_filters.h"

namespace kyv::codec {

// A step between a decoder's output and its consumer that works on pushed pieces.
class FilterStage : public ByteSink {
public:
  // Writes out what is held back at the end of the input.
  [[nodiscard]] virtual bool finish() = 0;
};

// Holds back at most BranchConverter::kMaxCarry bytes (an instruction cut by a piece's end).
class BranchStage final : public FilterStage {
public:
  BranchStage(BranchArch arch, std::uint32_t start, ByteSink& next)
      : conv_(arch, start), next_(next) {}
  bool write(std::span<const std::byte> data) override;
  bool finish() override;

private:
  BranchConverter conv_;
  ByteSink& next_;
  std::vector<std::uint8_t> buf_;
};

class DeltaStage final : public FilterStage {
public:
  // distance: 1..256.
  DeltaStage(std::uint32_t distance, ByteSink& next) : delta_(distance), next_(next) {}
  bool write(std::span<const std::byte> data) override;
  bool finish() override { return true; }

private:
  DeltaDecoder delta_;
  ByteSink& next_;
  std::vector<std::uint8_t> buf_;
};

} // namespace kyv::codec
