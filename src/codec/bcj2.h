// BCJ2, the x86 branch converter of 7z with four inputs: the main stream with the opcodes, the
// CALL (E8) targets and the JMP/Jcc targets as big-endian absolute addresses, and a range-coded
// stream of one bit per opcode telling whether its operand was taken out. Decoding puts the
// operands back, made relative again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] Bcj2Status{
    Ok,
    WriteRefused, // the sink refused a write
    CallEnded,    // the CALL stream ended where a target was needed
    JumpEnded,    // the jump stream ended where a target was needed
    RangeEnded,   // the range-coded stream ended
};

class Bcj2Decoder {
public:
  // The three side streams are read from their current positions as the main stream needs them.
  Bcj2Decoder(ByteSource& call, ByteSource& jump, ByteSource& range);

  // Decodes the next piece of the main stream into out. Pieces may be cut anywhere.
  Bcj2Status decode(std::span<const std::byte> main, ByteSink& out);
  // Writes out what is still held back (call once, at the end).
  Bcj2Status finish(ByteSink& out);

private:
  // Buffered reads from one side stream.
  class Side {
  public:
    explicit Side(ByteSource& source) : source_(source) {}
    bool next(std::uint8_t& b);

  private:
    ByteSource& source_;
    std::array<std::byte, 4096> buf_{};
    std::size_t at_ = 0, end_ = 0;
  };

  bool target(Side& side, std::uint32_t& value);
  bool startRange();
  bool bit(std::uint16_t& prob, bool& value);
  Bcj2Status flush(ByteSink& out);

  Side call_, jump_, range_;
  bool started_ = false;
  std::uint32_t code_ = 0, rangeWidth_ = 0xFFFFFFFF;
  // One probability per byte before an E8, one for E9, one for the Jcc opcodes.
  std::array<std::uint16_t, 258> probs_;
  std::uint8_t prev_ = 0;
  std::uint32_t outPos_ = 0;
  std::vector<std::byte> out_;
};

} // namespace kyv::codec
