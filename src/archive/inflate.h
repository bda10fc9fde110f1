// Deflate (RFC 1951) and Deflate64 decoding from a source into a sink, with CRC-32 or Adler-32
// of the output.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "base/byte_io.h"

namespace kyv::archive {

// Options bits of TAbDeflateHelper::Options.
inline constexpr std::uint32_t kDfDeflate64 = 0x10;
inline constexpr std::uint32_t kDfUseAdler32 = 0x20;
inline constexpr std::uint32_t kDfTestOnly = 0x40000000;

struct TAbDeflateHelper {
  std::uint32_t Options = 0x0F;
  std::int64_t StreamSize = -1; // input bytes for progress; -1 = the source's size
  std::string Passphrase;       // empty = not encrypted
  std::uint32_t CheckValue = 0xFFFFFFFF;
  std::int64_t PartialSize = 0; // stop after this many output bytes; 0 = no limit
  // Progress in percent; returning true asks to stop (Inflate then returns 0).
  std::function<bool(int percent)> OnProgress;
  std::string LogFile;
  // Results.
  std::int64_t NormalSize = 0;     // bytes produced (counted in test-only mode)
  std::int64_t CompressedSize = 0; // input bytes consumed (exactly, after a whole stream)
  // Compression settings, carried along and unused by inflate.
  int AmpleLength = 8;
  int ChainLength = 32;
  int MaxLazyLength = 16;
  int WindowSize = 32768;
};

// Decodes from the source's current position to the sink; on success an unencrypted source is
// left at the first byte after the Deflate stream. Returns the CRC-32 (or Adler-32) of
// the output, or 0 when stopped early by PartialSize or OnProgress. helper may be null (defaults).
// Throws EAbInflateError on corrupt data (what was decoded before stays written) and
// EAbInflatePasswordError on a wrong passphrase. A sink that refuses a write ends decoding with
// EAbInflateError too.
std::uint32_t Inflate(ByteSource& in, ByteSink& out, TAbDeflateHelper* helper);

} // namespace kyv::archive
