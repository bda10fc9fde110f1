#include "base/byte_io.h"

#include <algorithm>
#include <cstring>

namespace kyv {

bool ByteSource::readExact(std::span<std::byte> out) {
  while (!out.empty()) {
    const std::size_t n = read(out);
    if (n == 0)
      return false;
    out = out.subspan(n);
  }
  return true;
}

std::size_t MemorySource::read(std::span<std::byte> out) {
  const std::size_t n = std::min(out.size(), bytes_.size() - pos_);
  if (n != 0)
    std::memcpy(out.data(), bytes_.data() + pos_, n);
  pos_ += n;
  return n;
}

bool MemorySource::seek(std::uint64_t offset) {
  if (offset > bytes_.size())
    return false;
  pos_ = static_cast<std::size_t>(offset);
  return true;
}

SubRangeSource::SubRangeSource(ByteSource& base, std::uint64_t offset, std::uint64_t length)
    : base_(base), offset_(offset), length_(length) {
  // A window that claims more than the base holds is cut to what is there.
  const std::uint64_t total = base.size();
  if (offset_ > total)
    offset_ = total;
  if (length_ > total - offset_)
    length_ = total - offset_;
}

std::size_t SubRangeSource::read(std::span<std::byte> out) {
  const std::uint64_t left = length_ - pos_;
  if (left == 0)
    return 0;
  if (out.size() > left)
    out = out.first(static_cast<std::size_t>(left));
  if (base_.position() != offset_ + pos_ && !base_.seek(offset_ + pos_))
    return 0;
  const std::size_t n = base_.read(out);
  pos_ += n;
  return n;
}

bool SubRangeSource::seek(std::uint64_t offset) {
  if (offset > length_)
    return false;
  pos_ = offset;
  return true;
}

bool copyAll(ByteSource& source, ByteSink& sink, std::uint64_t& copied) {
  copied = 0;
  const std::uint64_t left = source.size() - std::min(source.size(), source.position());
  std::vector<std::byte> buffer(
      static_cast<std::size_t>(std::clamp<std::uint64_t>(left, 1, 1u << 16)));
  while (const std::size_t got = source.read(buffer)) {
    if (!sink.write(std::span(buffer).first(got)))
      return false;
    copied += got;
  }
  return true;
}

bool VectorSink::write(std::span<const std::byte> data) {
  if (data.size() > limit_ - bytes_.size())
    return false;
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return true;
}

std::optional<std::vector<std::byte>> readAll(ByteSource& source, std::uint64_t limit) {
  const std::uint64_t pos = source.position();
  const std::uint64_t total = source.size();
  const std::uint64_t want = total > pos ? total - pos : 0;
  if (want > limit || want > SIZE_MAX)
    return std::nullopt;
  std::vector<std::byte> bytes(static_cast<std::size_t>(want));
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t n = source.read(std::span(bytes).subspan(got));
    if (n == 0)
      break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

} // namespace kyv
