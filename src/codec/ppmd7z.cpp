#include "codec/ppmd7z.h"

#include <algorithm>

#include "base/endian.h"
#include "base/error.h"

namespace kyv::codec {

const char* ppmd7zStatusText(Ppmd7zStatus s) {
  switch (s) {
  case Ppmd7zStatus::Ok:
    return "ok";
  case Ppmd7zStatus::StreamEnd:
    return "end of stream";
  case Ppmd7zStatus::BadProperties:
    return "bad properties";
  case Ppmd7zStatus::MemoryTooLarge:
    return "model memory over the cap";
  case Ppmd7zStatus::NotStarted:
    return "decoder not started";
  case Ppmd7zStatus::BadRangeStart:
    return "bad range coder start";
  case Ppmd7zStatus::DataError:
    return "damaged data";
  case Ppmd7zStatus::Truncated:
    return "data ends early";
  }
  return "unknown status";
}

Ppmd7zStatus Ppmd7zDecoder::start(std::span<const std::byte> props, std::uint64_t outputSize) {
  started_ = rangeStarted_ = false;
  if (props.size() != 5)
    return Ppmd7zStatus::BadProperties;
  const unsigned order = std::to_integer<unsigned>(props[0]);
  const std::uint32_t memory = loadLe32(props.data() + 1);
  if (order < 2 || order > Ppmd7Model::kMaxOrder || memory < (1u << 11))
    return Ppmd7zStatus::BadProperties;
  if (memory > kPpmd7zMaxMemory)
    return Ppmd7zStatus::MemoryTooLarge;
  left_ = outputSize;
  if (outputSize != 0) {
    // A model for no output would only cost its memory.
    try {
      model_.restart(static_cast<int>(order), memory);
    } catch (const Error&) {
      return Ppmd7zStatus::DataError;
    }
  }
  started_ = true;
  return Ppmd7zStatus::Ok;
}

Ppmd7zStatus Ppmd7zDecoder::read(InputBuffer& in, std::span<std::byte> out, std::size_t& n) {
  n = 0;
  if (!started_)
    return Ppmd7zStatus::NotStarted;
  if (left_ == 0)
    return Ppmd7zStatus::StreamEnd;
  rc_.in = &in;
  if (!rangeStarted_) {
    if (in.byteOrPad() != 0)
      return Ppmd7zStatus::BadRangeStart;
    rc_.range = 0xFFFFFFFFu;
    rc_.code = 0;
    for (int i = 0; i < 4; ++i)
      rc_.code = (rc_.code << 8) | in.byteOrPad();
    if (rc_.code == 0xFFFFFFFFu)
      return Ppmd7zStatus::BadRangeStart;
    rangeStarted_ = true;
  }
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left_));
  auto* dst = reinterpret_cast<std::uint8_t*>(out.data());
  try {
    while (n < want) {
      const int c = model_.decodeChar(rc_);
      if (c < 0)
        return Ppmd7zStatus::DataError;
      dst[n++] = static_cast<std::uint8_t>(c);
      // A valid stream is consumed exactly at its end, so padding means the input was cut.
      if (in.overread != 0) {
        --n; // decoded from padding: not the sender's byte
        left_ -= n;
        return Ppmd7zStatus::Truncated;
      }
    }
  } catch (const Error&) {
    left_ -= n;
    return Ppmd7zStatus::DataError;
  }
  left_ -= n;
  return left_ == 0 ? Ppmd7zStatus::StreamEnd : Ppmd7zStatus::Ok;
}

} // namespace kyv::codec
