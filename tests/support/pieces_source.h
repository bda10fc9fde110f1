// A byte source of fixed pieces at given offsets with zeros everywhere else: archives of many
// GiB whose members are holes read the way a sparse file does, without storing anything large.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "base/byte_io.h"

namespace kyv::test {

class PiecesSource final : public ByteSource {
public:
  void put(std::uint64_t at, std::vector<std::byte> bytes) {
    size_ = std::max(size_, at + bytes.size());
    pieces_[at] = std::move(bytes);
  }
  void extendTo(std::uint64_t size) { size_ = std::max(size_, size); }
  std::size_t read(std::span<std::byte> out) override {
    const std::uint64_t left = size_ - pos_;
    if (out.size() > left)
      out = out.first(static_cast<std::size_t>(left));
    std::fill(out.begin(), out.end(), std::byte{0});
    // Pieces do not overlap: start with the last one that begins at or before the position.
    auto it = pieces_.upper_bound(pos_);
    if (it != pieces_.begin())
      --it;
    for (; it != pieces_.end() && it->first < pos_ + out.size(); ++it) {
      const auto& [at, bytes] = *it;
      const std::uint64_t from = std::max(at, pos_);
      const std::uint64_t to = std::min(at + bytes.size(), pos_ + out.size());
      for (std::uint64_t i = from; i < to; ++i)
        out[i - pos_] = bytes[i - at];
    }
    pos_ += out.size();
    return out.size();
  }
  bool seek(std::uint64_t offset) override {
    if (offset > size_)
      return false;
    pos_ = offset;
    return true;
  }
  std::uint64_t size() const override { return size_; }
  std::uint64_t position() const override { return pos_; }

private:
  std::map<std::uint64_t, std::vector<std::byte>> pieces_;
  std::uint64_t size_ = 0;
  std::uint64_t pos_ = 0;
};

} // namespace kyv::test
