#include "unrar/lz_window.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "unrar/blake2sp.h"
#include "codec/checksum.h"

namespace kyv::unrar {

void MemberOutput::deliver(const std::uint8_t* data, std::size_t n) {
  if (n == 0)
    return;
  const auto bytes = std::as_bytes(std::span(data, n));
  crc = codec::crc32Update(crc, bytes);
  if (blake2 != nullptr)
    blake2->update(bytes);
  written += n;
  if (sink != nullptr && !sink->write(bytes)) {
    // A full disk or a refusing caller: decoding further would only waste time.
    refused = true;
    fail(ErrorKind::Io, "output refused");
  }
}

void LzWindow::allocate(std::uint64_t size) {
  std::uint64_t s = 1u << 16;
  while (s < size)
    s <<= 1;
  if (s > kMaxWindow)
    fail(ErrorKind::Limit, "dictionary larger than this build accepts");
  // Reused when big enough.
  if (size_ < s) {
    data_.reset();
    size_ = 0;
    data_.reset(new std::uint8_t[static_cast<std::size_t>(s)]);
    size_ = static_cast<std::size_t>(s);
  }
  mask_ = size_ - 1;
  pos_ = flushed_ = fileStart_ = fileEnd_ = 0;
  updateLimit();
}

void LzWindow::read(std::uint64_t from, std::size_t n, std::uint8_t* out) const {
  std::size_t at = static_cast<std::size_t>(from) & mask_;
  const std::size_t first = std::min(n, size_ - at);
  std::memcpy(out, data_.get() + at, first);
  std::memcpy(out + first, data_.get(), n - first);
}

void LzWindow::startMember(MemberOutput* out, std::uint64_t size) {
  out_ = out;
  fileStart_ = pos_;
  fileEnd_ =
      size > UINT64_MAX - pos_ ? UINT64_MAX : pos_ + size; // unknown size: to the stream's end
  flushed_ = pos_;
  updateLimit();
}

void LzWindow::updateLimit() {
  // Leave room for the longest match of any method (a few hundred bytes) behind the limit.
  flushLimit_ = flushed_ + size_ - 0x1000;
  // Flush at least every 4 MiB so a large window still streams and filters run promptly.
  flushLimit_ = std::min(flushLimit_, std::max(pos_, flushed_) + (4u << 20));
}

void LzWindow::emit(std::uint64_t from, std::uint64_t to) {
  while (from < to) {
    const std::size_t at = static_cast<std::size_t>(from) & mask_;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(to - from, size_ - at));
    emitBuffer(from, data_.get() + at, n);
    from += n;
  }
}

void LzWindow::emitBuffer(std::uint64_t from, const std::uint8_t* data, std::size_t n) {
  flushed_ = from + n;
  // Clip to the member's range.
  std::uint64_t lo = std::max(from, fileStart_);
  std::uint64_t hi = std::min(from + n, fileEnd_);
  if (out_ != nullptr && lo < hi)
    out_->deliver(data + (lo - from), static_cast<std::size_t>(hi - lo));
}

} // namespace kyv::unrar
