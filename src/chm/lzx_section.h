// The decoded bytes of one LZX-compressed content section, produced front to back a 32 KB frame
// at a time. Memory stays bounded whatever the section declares: the decoder's window, its input
// buffer and the last two frames, so that items next to each other are served without going
// back. An item behind what is kept costs a new decode from the start of the section.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/byte_io.h"
#include "codec/lzx.h"

namespace kyv::chm {

class LzxSection {
public:
  // Told of decoded bytes that no item asked for (gaps between items, and bytes decoded again
  // after a step back) before they are decoded; false stops the decoding of this section.
  using Gate = std::function<bool(std::uint64_t bytes)>;

  // The compressed data lies at [offset, offset + compressedLength) of file (cut at its end);
  // decodedLength is where the section ends.
  LzxSection(ByteSource& file, std::uint64_t offset, std::uint64_t compressedLength,
             std::uint64_t decodedLength, int windowBits, Gate gate);
  ~LzxSection();
  LzxSection(const LzxSection&) = delete;
  LzxSection& operator=(const LzxSection&) = delete;

  // Writes the decoded bytes [offset, offset + length) to out; true when all of them were
  // written. Fewer are when the section ends first, its data is damaged, the gate refuses or
  // the sink does.
  bool copy(ByteSink& out, std::uint64_t offset, std::uint64_t length);

  // Bytes of memory this section holds for decoding.
  std::size_t memoryHeld() const;

private:
  static constexpr std::size_t kFrame = codec::LzxDecoderState::kFrameSize;
  static constexpr std::size_t kKeptFrames = 2;

  bool restart();
  bool decodeFrame();

  SubRangeSource input_;
  std::uint64_t decodedLength_;
  int windowBits_;
  Gate gate_;
  std::unique_ptr<codec::LzxInput> in_;
  std::unique_ptr<codec::LzxDecoderState> decoder_;
  std::array<std::vector<std::byte>, kKeptFrames> frames_; // frame k in slot k % kKeptFrames
  std::uint64_t decoded_ = 0;   // the decoded stream so far: [0, decoded_)
  std::uint64_t kept_ = 0;      // start of the oldest frame kept
  std::uint64_t accounted_ = 0; // bytes up to here were handed out or told to the gate
  bool stopped_ = false;        // damaged data or no memory: nothing more will come
};

} // namespace kyv::chm
