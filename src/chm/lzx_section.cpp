#include "chm/lzx_section.h"

#include <algorithm>

namespace kyv::chm {

LzxSection::LzxSection(ByteSource& file, std::uint64_t offset, std::uint64_t compressedLength,
                       std::uint64_t decodedLength, int windowBits, Gate gate)
    : input_(file, offset, compressedLength), decodedLength_(decodedLength),
      windowBits_(windowBits), gate_(std::move(gate)) {}

LzxSection::~LzxSection() = default;

// Back to the start of the section with a fresh decoder state (the window and frames are kept).
bool LzxSection::restart() {
  stopped_ = true;
  decoded_ = kept_ = accounted_ = 0;
  if (!input_.seek(0))
    return false;
  in_ = std::make_unique<codec::LzxInput>(input_);
  if (!decoder_)
    decoder_ = std::make_unique<codec::LzxDecoderState>();
  if (decoder_->prepare(windowBits_, decodedLength_) != codec::LzxResult::Ok)
    return false;
  stopped_ = false;
  return true;
}

// Decodes the next frame into its slot. A frame that fails keeps the bytes of the runs completed
// before the damage, and nothing comes after it.
bool LzxSection::decodeFrame() {
  if (stopped_ || decoded_ >= decodedLength_)
    return false;
  const std::uint64_t start = decoded_;
  std::vector<std::byte>& frame = frames_[(start / kFrame) % kKeptFrames];
  frame.resize(kFrame);
  const auto want =
      static_cast<std::size_t>(std::min<std::uint64_t>(kFrame, decodedLength_ - start));
  std::size_t produced = 0;
  if (decoder_->expand(*in_, std::span(frame).first(want), &produced) != codec::LzxResult::Ok)
    stopped_ = true;
  decoded_ += produced;
  const std::uint64_t keptSpan = (kKeptFrames - 1) * kFrame;
  kept_ = start > keptSpan ? start - keptSpan : 0;
  return produced > 0;
}

bool LzxSection::copy(ByteSink& out, std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t end = std::min(offset + length, decodedLength_);
  if (offset >= end)
    return length == 0;
  if (!decoder_ || offset < kept_) {
    if (!restart())
      return false;
  }
  // The bytes between what was accounted for and the item are decoded for nothing: the gate
  // decides before any of that work is done.
  if (offset > accounted_) {
    if (gate_ && !gate_(offset - accounted_))
      return false;
    accounted_ = offset;
  }
  std::uint64_t pos = offset;
  bool written = true;
  while (pos < end) {
    if (pos >= decoded_) {
      if (!decodeFrame())
        break;
      continue;
    }
    const std::uint64_t frameStart = pos / kFrame * kFrame;
    const std::vector<std::byte>& frame = frames_[(pos / kFrame) % kKeptFrames];
    const std::uint64_t frameEnd = std::min(frameStart + kFrame, decoded_);
    const auto n = static_cast<std::size_t>(std::min(end, frameEnd) - pos);
    if (!out.write(std::span<const std::byte>(frame).subspan(
            static_cast<std::size_t>(pos - frameStart), n))) {
      written = false;
      break;
    }
    pos += n;
  }
  accounted_ = std::max(accounted_, pos);
  return written && pos == offset + length;
}

std::size_t LzxSection::memoryHeld() const {
  std::size_t held = 0;
  if (decoder_)
    held += sizeof(codec::LzxDecoderState) + decoder_->allocatedSize();
  if (in_)
    held += sizeof(codec::LzxInput) + codec::InputBuffer::kHistory + codec::InputBuffer::kChunk +
            codec::InputBuffer::kFastMargin;
  for (const auto& f : frames_)
    held += f.capacity();
  return held;
}

} // namespace kyv::chm
