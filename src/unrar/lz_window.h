// The sliding window shared by the LZ methods, and the output stage behind it: produced bytes
// stay in the window until flush() writes them to the member's sink, running the filters that
// cover them first. Positions are absolute byte counts since the window was started, so solid
// members continue where the previous one stopped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "codec/lz_copy.h"
#include "unrar/rar_error.h"

namespace kyv::unrar {

// Where a member's bytes go: the sink (none when the member is skipped in a solid archive and
// only the window must advance), its running CRC-32 and the count delivered.
class Blake2sp;

struct MemberOutput {
  ByteSink* sink = nullptr;
  Blake2sp* blake2 = nullptr; // set when the member's hash is BLAKE2sp
  std::uint32_t crc = 0;
  std::uint64_t written = 0;
  bool refused = false; // the sink refused a write; deliver() then throws
  void deliver(const std::uint8_t* data, std::size_t n);
};

// A transform over an output block, queued by the stream and run once the block is complete.
struct LzFilter {
  std::uint64_t start = 0; // absolute window position
  std::uint32_t length = 0;
  std::uint8_t type = 0; // decoder-specific
  std::uint32_t params[7] = {};
};

// Queues f behind the pending filters. With `cap` of them pending already, flushSome() writes out
// what it can first; when that frees nothing the stream is damaged (fullMessage).
template <class FlushSome>
void queueFilter(std::deque<LzFilter>& filters, const LzFilter& f, std::size_t cap,
                 FlushSome&& flushSome, const char* fullMessage) {
  if (filters.size() >= cap) {
    flushSome();
    if (filters.size() >= cap)
      dataError(fullMessage);
  }
  filters.push_back(f);
}

class LzWindow {
public:
  // Largest window a member may ask for: bounded by what a 32-bit process can spare.
  static constexpr std::uint64_t kMaxWindow = sizeof(void*) == 4 ? (256u << 20) : (1ull << 30);

  // Makes a zeroed window of at least `size` bytes (rounded up to a power of two); throws Limit
  // when that is over kMaxWindow.
  void allocate(std::uint64_t size);
  bool allocated() const { return size_ != 0; }
  std::size_t size() const { return size_; }

  void put(std::uint8_t b) {
    data_[static_cast<std::size_t>(pos_) & mask_] = b;
    ++pos_;
  }
  void copyMatch(std::uint64_t distance, std::uint32_t length) {
    if (distance == 0 || distance > pos_ || distance > size_)
      dataError("match distance reaches before the start of the window");
    codec::copyMatchRing(data_.get(), mask_, static_cast<std::size_t>(pos_) & mask_,
                         static_cast<std::size_t>(distance), length);
    pos_ += length;
  }
  std::uint8_t byteBack(std::uint64_t distance) const {
    return data_[static_cast<std::size_t>(pos_ - distance) & mask_];
  }
  std::uint64_t pos() const { return pos_; }

  // Copies [from, from + n) out of the circular buffer.
  void read(std::uint64_t from, std::size_t n, std::uint8_t* out) const;

  // Output stage. A member covers [fileStart, fileStart + size): bytes outside it (a match that
  // runs past the member's end) stay in the window but are not delivered.
  void startMember(MemberOutput* out, std::uint64_t size);
  std::uint64_t memberStart() const { return fileStart_; }
  std::uint64_t memberEnd() const { return fileEnd_; }
  bool memberDone() const { return pos_ >= fileEnd_; }
  // Position at which the decoder must call flush() again before producing more.
  std::uint64_t flushLimit() const { return flushLimit_; }

  // Writes out everything that no pending filter holds back. `final` also writes a trailing
  // block whose filter never completed, unfiltered, so nothing produced is lost.
  template <class Apply>
  void flush(std::deque<LzFilter>& filters, bool chain, bool final, Apply&& apply);
  std::uint64_t flushed() const { return flushed_; }

private:
  void emit(std::uint64_t from, std::uint64_t to);
  void emitBuffer(std::uint64_t from, const std::uint8_t* data, std::size_t n);
  void updateLimit();

  // Not cleared when allocated: copyMatch never reaches before the first byte produced, so
  // bytes not yet written are never read.
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t size_ = 0;
  std::size_t mask_ = 0;
  std::uint64_t pos_ = 0;
  std::uint64_t flushed_ = 0;
  std::uint64_t fileStart_ = 0;
  std::uint64_t fileEnd_ = 0;
  std::uint64_t flushLimit_ = 0;
  MemberOutput* out_ = nullptr;
  std::vector<std::uint8_t> filterBuf_;
};

template <class Apply>
void LzWindow::flush(std::deque<LzFilter>& filters, bool chain, bool final, Apply&& apply) {
  while (flushed_ < pos_) {
    if (filters.empty()) {
      emit(flushed_, pos_);
      break;
    }
    LzFilter& f = filters.front();
    if (f.start < flushed_ || f.length == 0) {
      filters.pop_front(); // a block that starts inside bytes already written cannot be filtered
      continue;
    }
    if (flushed_ < f.start) {
      emit(flushed_, std::min(pos_, f.start));
      continue;
    }
    if (pos_ < f.start + f.length) {
      if (final) {
        emit(flushed_, pos_);
        filters.clear();
      }
      break;
    }
    filterBuf_.resize(f.length);
    read(f.start, f.length, filterBuf_.data());
    const std::uint64_t start = f.start;
    const std::uint32_t length = f.length;
    apply(f, filterBuf_);
    filters.pop_front();
    // Chained filters: the next one over the same block works on this one's output.
    while (chain && !filters.empty() && filters.front().start == start &&
           filters.front().length == length) {
      apply(filters.front(), filterBuf_);
      filters.pop_front();
    }
    emitBuffer(start, filterBuf_.data(), filterBuf_.size());
  }
  updateLimit();
}

} // namespace kyv::unrar
