// The output filters of the RAR 2.9 and RAR 5 methods, undone on a block of LZ output in place:
// the x86 and delta filters both methods have, and the RGB and audio predictors of RAR 2.9.
// Callers check the block size and parameters against their method's limits first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kyv::unrar {

// x86 CALL (and JMP) operands as both methods translate them: positions of operands counted from
// the member's first byte, modulo 2^24, which is also the translation size.
void undoX86(std::span<std::uint8_t> block, std::uint32_t fileOffset, bool alsoE9);

// Byte deltas, one channel after another in the block.
void undoDelta(std::vector<std::uint8_t>& block, std::uint32_t channels);

// Pixels of three bytes, `stride` bytes a row (stride >= 3), each channel stored as the
// difference from a choice among its left, upper and upper-left neighbours; then green is added
// back to red and blue, red starting at byte posR (0-2).
void undoRgb(std::vector<std::uint8_t>& block, std::uint32_t stride, std::uint32_t posR);

// Sound samples of one byte per channel, each channel's bytes in turn, stored as the error of an
// adaptive linear predictor whose three weights follow the signal every 32 samples.
void undoAudio(std::vector<std::uint8_t>& block, std::uint32_t channels);

} // namespace kyv::unrar
