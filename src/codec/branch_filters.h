// The reversible transforms that compressors run over executable code and tables before the LZ
// stage, undone here after it: relative branch targets in x86, ARM and Itanium code were made
// absolute (so that repeated calls to one function look alike), and byte tables were stored as
// differences. One implementation each, for every format that uses them (LZX, RAR 2.9, RAR 5 and
// the BCJ filters of 7z).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::codec {

// x86 CALL (E8) operands, and with alsoE9 JMP (E9) operands too: each opcode is followed by a
// 32-bit little-endian absolute target t, which goes back to relative when -cur <= t < size:
// t - cur for t >= 0, t + size below zero. cur is the opcode's position in the stream,
// (start + index + operandBias) & positionMask, where formats differ (LZX counts the opcode
// from the start of the stream; RAR counts the operand, modulo 2^24 = size).
struct X86Filter {
  std::uint64_t start = 0;
  std::uint32_t operandBias = 0;
  std::uint64_t positionMask = ~std::uint64_t{0};
  std::int64_t size = 0; // the translation size the encoder used
  bool alsoE9 = false;
};
// Looks for opcodes at data[0, scanEnd); their operands must lie inside data (scanEnd + 4 <=
// data.size()). An operand is skipped over after it is translated or not.
void x86Decode(std::span<std::uint8_t> data, std::size_t scanEnd, const X86Filter& f);

// ARM BL with the "always" condition (byte 3 == 0xEB) in each aligned 4-byte word: the 24-bit
// word offset loses (start + index) / 4 modulo 2^24.
void armDecode(std::span<std::uint8_t> data, std::uint32_t start);

// Itanium bundles (16 bytes each): in the slots the bundle template marks as branch slots, an
// IP-relative branch (opcode 5) has its 20-bit immediate, a bundle offset, lose the bundle
// number. Bundles are numbered from firstBundle; a part bundle at the end is left alone.
// The wide form (7z, xz) also takes the immediate's sign bit (bit 36 of the slot) as its 21st
// bit and only touches slots whose branch type bits (9-11) are zero.
enum class ItaniumForm { Narrow, Wide };
void itaniumDecode(std::span<std::uint8_t> data, std::uint32_t firstBundle,
                   ItaniumForm form = ItaniumForm::Narrow);

// Planar byte deltas: src holds each channel's bytes in turn (all of channel 0, then channel 1,
// ...), each stored as previous - value; dst gets them back interleaved. src and dst do not
// overlap; channels >= 1.
void deltaDecode(std::span<const std::uint8_t> src, std::span<std::uint8_t> dst,
                 std::uint32_t channels);

// The branch converters of 7z and xz ("BCJ" filters), decoding a stream piece by piece. Each
// call converts what it can of data in place and returns how many bytes at its front are final;
// the rest (an instruction cut by the end of the piece) is given again at the front of the next
// call. At the end of the stream whatever is left stays as it is.
enum class BranchArch { X86, PowerPc, Ia64, Arm, ArmThumb, Sparc, Arm64 };

class BranchConverter {
public:
  // start: the stream position of the first byte (the coder's start offset, normally 0).
  explicit BranchConverter(BranchArch arch, std::uint32_t start = 0) : arch_(arch), pos_(start) {}
  std::size_t decode(std::span<std::uint8_t> data);
  // The most bytes a call may leave for the next one.
  static constexpr std::size_t kMaxCarry = 15;

private:
  std::size_t x86(std::span<std::uint8_t> data);
  BranchArch arch_;
  std::uint32_t pos_;
  // x86 only: which of the three bytes before the next one looked like E8/E9 opcodes (bit 0 the
  // nearest), as the encoder tracked them to skip operand bytes that resemble opcodes.
  std::uint32_t x86Mask_ = 0;
};

// Byte distances (7z and xz Delta): each byte is stored as its difference from the byte
// distance places before it; the history carries over from call to call.
class DeltaDecoder {
public:
  explicit DeltaDecoder(std::uint32_t distance) : distance_(distance) {}
  void decode(std::span<std::uint8_t> data);

private:
  std::uint32_t distance_; // 1..256
  std::uint32_t at_ = 0;
  std::uint8_t history_[256] = {};
};

} // namespace kyv::codec
