// The shape of the small decoders that take their input as it is written to them (the text
// encodings, run lengths, row predictors, decryption): each is a sink that writes what it decodes
// to the sink behind it, so any number of them chain without holding a stream in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] FilterStatus{
    Ok,           // everything written so far is decoded and passed on
    Damaged,      // the input broke the encoding; what came before it was passed on
    WriteRefused, // the sink behind refused a write
};

class PushFilter : public ByteSink {
public:
  explicit PushFilter(ByteSink& out);
  // False once the filter has stopped (status() says why). Input after the encoding's own end
  // marker is taken and ignored.
  bool write(std::span<const std::byte> data) final;
  // The input is over: decodes what is held back and flushes. Call once.
  FilterStatus finish();
  FilterStatus status() const { return status_; }

protected:
  virtual void consume(std::span<const std::uint8_t> data) = 0;
  // Input ended: complete what is pending (a partial group, a half row).
  virtual void end() {}

  void put(std::uint8_t byte) {
    buffer_[held_++] = byte;
    if (held_ == buffer_.size())
      flush();
  }
  void put(std::span<const std::uint8_t> bytes);
  void fail() { status_ = FilterStatus::Damaged; }
  // The encoding's end marker was read.
  void markEnd() { ended_ = true; }
  bool stopped() const { return status_ != FilterStatus::Ok || ended_; }

private:
  void flush();

  ByteSink& out_;
  std::vector<std::uint8_t> buffer_;
  std::size_t held_ = 0;
  FilterStatus status_ = FilterStatus::Ok;
  bool ended_ = false;
};

} // namespace kyv::codec
