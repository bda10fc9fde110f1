// The output window of the small LZ decoders that reach back at most 64 KiB (the LZH family,
// ARJ's fast method, the LZSS of the MS-DOS compressor): a ring that holds the window plus the
// decoded bytes the caller has not taken yet, so a decoder can run ahead by whole symbols (a
// match may pass the end of the caller's span) and hand out exactly what is asked.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <utility>

#include "codec/lz_copy.h"

namespace kyv::codec {

class LzRing {
public:
  // The longest single step a decoder may take before it looks at room() again: the longest
  // match of these formats (256 bytes) with margin.
  static constexpr std::size_t kMaxStep = 512;

  // A window of `window` bytes (at most 64 KiB) whose bytes before the start of the stream read
  // as `fill`, as the format's encoder assumes.
  void reset(std::size_t window, std::uint8_t fill) {
    window_ = window;
    std::size_t size = 65536;
    while (size < 2 * window + kMaxStep)
      size *= 2;
    if (size != size_) {
      ring_ = std::make_unique<std::uint8_t[]>(size);
      size_ = size;
    }
    mask_ = size - 1;
    std::memset(ring_.get(), fill, size);
    pos_ = 0;
    pending_ = 0;
    total_ = 0;
  }

  std::size_t window() const { return window_; }
  std::uint64_t total() const { return total_; }
  // Decoded bytes not yet handed out.
  std::size_t pending() const { return pending_; }
  // Bytes that may still be decoded before the caller takes some; a decoder stops stepping when
  // this is below kMaxStep.
  std::size_t room() const { return size_ - window_ - pending_; }

  void put(std::uint8_t byte) {
    ring_[pos_] = byte;
    pos_ = (pos_ + 1) & mask_;
    ++pending_;
    ++total_;
  }
  // distance from 1 to window(), length at most kMaxStep: the caller has checked both.
  void copy(std::size_t distance, std::size_t length) {
    copyMatchRing(ring_.get(), mask_, pos_, distance, length);
    pos_ = (pos_ + length) & mask_;
    pending_ += length;
    total_ += length;
  }

  // Hands out up to out.size() pending bytes, oldest first; returns how many.
  std::size_t take(std::span<std::byte> out) {
    const std::size_t n = std::min(out.size(), pending_);
    std::size_t from = (pos_ - pending_) & mask_;
    const std::size_t first = std::min(n, size_ - from);
    std::memcpy(out.data(), ring_.get() + from, first);
    std::memcpy(out.data() + first, ring_.get(), n - first);
    pending_ -= n;
    return n;
  }

  // The expand step of a decoder on this ring: hands out what is pending, then lets `decode`
  // (std::size_t want -> Status) step until `want` more bytes are pending or the ring is full,
  // until the output is full or decode fails. Status{} is the decoder's Ok. `produced` (if given)
  // receives the bytes written: all on Ok, on failure those decoded before it.
  template <class Status, class Decode>
  Status fill(std::span<std::byte> output, std::size_t* produced, Decode&& decode) {
    std::size_t done = take(output);
    Status status{};
    while (done < output.size()) {
      status = decode(output.size() - done);
      done += take(output.subspan(done));
      if (status != Status{})
        break;
    }
    if (produced != nullptr)
      *produced = done;
    return done == output.size() ? Status{} : status;
  }

private:
  std::unique_ptr<std::uint8_t[]> ring_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  std::size_t window_ = 0;
  std::size_t pos_ = 0;
  std::size_t pending_ = 0;
  std::uint64_t total_ = 0;
};

} // namespace kyv::codec
