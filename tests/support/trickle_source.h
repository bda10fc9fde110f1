// A byte source over bytes in memory that hands out at most `piece` bytes per read, so a decoder's
// input arrives in pieces as it does from a pipe, a file or a member of an archive, and its
// buffers move under whatever still holds copies of earlier bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_io.h"

namespace kyv::test {

class TrickleSource final : public ByteSource {
public:
  // bytes must outlive the source.
  TrickleSource(std::span<const std::byte> bytes, std::size_t piece)
      : bytes_(bytes), piece_(piece) {}
  std::size_t read(std::span<std::byte> out) override {
    const std::size_t n = std::min({out.size(), piece_, bytes_.size() - pos_});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, out.begin());
    pos_ += n;
    return n;
  }
  bool seek(std::uint64_t offset) override {
    if (offset > bytes_.size())
      return false;
    pos_ = static_cast<std::size_t>(offset);
    return true;
  }
  std::uint64_t size() const override { return bytes_.size(); }
  std::uint64_t position() const override { return pos_; }

private:
  std::span<const std::byte> bytes_;
  std::size_t piece_;
  std::size_t pos_ = 0;
};

} // namespace kyv::test
