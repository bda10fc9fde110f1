#include "unrar/bit_reader.h"

#include <algorithm>
#include <span>

namespace kyv::unrar {

BitReader::BitReader(ByteSource& source, std::uint64_t length)
    : source_(source), length_(length), left_(length), buffer_(64 * 1024) {}

bool BitReader::fillBuffer() {
  if (left_ == 0)
    return false;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left_, buffer_.size()));
  const std::size_t got = source_.read(std::as_writable_bytes(std::span(buffer_.data(), want)));
  if (got == 0) {
    left_ = 0; // the container ended early: what follows reads as zeros and is counted
    return false;
  }
  left_ -= got;
  bufPos_ = 0;
  bufLen_ = got;
  return true;
}

void BitReader::refill() {
  // Fast path: whole bytes straight from the buffer, as many as fit.
  if (bufLen_ - bufPos_ >= 8) {
    const unsigned take = (64 - count_) / 8;
    for (unsigned i = 0; i < take; ++i)
      bits_ |= static_cast<std::uint64_t>(buffer_[bufPos_ + i]) << (56 - count_ - 8 * i);
    bufPos_ += take;
    count_ += 8 * take;
    pulled_ += take;
    return;
  }
  while (count_ <= 56) {
    std::uint64_t b = 0;
    if (bufPos_ < bufLen_ || fillBuffer()) {
      b = buffer_[bufPos_++];
    } else if (++overread_ > kMaxOverread) {
      fail(ErrorKind::UnexpectedEnd, "packed data ends inside the stream");
    }
    bits_ |= b << (56 - count_);
    count_ += 8;
    ++pulled_;
  }
}

} // namespace kyv::unrar
