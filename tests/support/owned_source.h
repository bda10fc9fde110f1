// A byte source over bytes it owns, for tests that hand a reader a source it keeps. With
// maxRead = 1 it hands out one byte per read, so that every buffer refill path of a reader runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/byte_io.h"

namespace kyv::test {

class OwnedSource final : public ByteSource {
public:
  explicit OwnedSource(std::vector<std::byte> bytes, std::size_t maxRead = SIZE_MAX)
      : bytes_(std::move(bytes)), mem_(bytes_), maxRead_(maxRead) {}
  std::size_t read(std::span<std::byte> out) override {
    return mem_.read(out.size() > maxRead_ ? out.first(maxRead_) : out);
  }
  bool seek(std::uint64_t offset) override { return mem_.seek(offset); }
  std::uint64_t size() const override { return mem_.size(); }
  std::uint64_t position() const override { return mem_.position(); }

private:
  std::vector<std::byte> bytes_;
  MemorySource mem_;
  std::size_t maxRead_;
};

} // namespace kyv::test
