// The compression of VBA projects (the "dir" stream and every module's source): a signature byte
// 01, then chunks of at most 4096 decompressed bytes. Each chunk starts with a 16-bit header:
// size - 3 in bits 0-11, the signature 011 in bits 12-14, and bit 15 set when the chunk is
// compressed. An uncompressed chunk carries its bytes as they are. A compressed one is a run of
// flag bytes, each followed by eight tokens (fewer at the chunk's end): a clear flag bit is one
// literal byte, a set bit a 16-bit copy token whose split between offset and length depends on
// how far into the chunk the decoder is (at least 4 offset bits, as many as that distance needs,
// at most 12). Copies never reach before the chunk's start.
//
// The decoder is a sink: it is written the compressed bytes in pieces of any size, as a stream
// reader produces them, and writes each chunk to its own sink once it is decoded. Memory is one
// chunk of input and one of output, whatever the stream says.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] OvbaStatus{
    Ok,             // every chunk decoded
    BadSignature,   // the first byte is not 01
    BadChunkHeader, // a chunk header without the signature bits
    BadCopyToken,   // a copy token at a chunk's start, or one reaching before the chunk's start
    ChunkOverflow,  // a chunk that decodes to more than 4096 bytes
    Truncated,      // the input ended inside a chunk (what it held was still decoded)
    Empty,          // no input at all
    WriteRefused,   // the output sink refused a write
};

inline constexpr std::size_t kOvbaChunkSize = 4096;

class OvbaDecoder final : public ByteSink {
public:
  explicit OvbaDecoder(ByteSink& out) : out_(out) {}

  // Takes compressed bytes; false once decoding has stopped (damaged data, a refusing sink).
  bool write(std::span<const std::byte> data) override;
  // Decodes what is left of a last, cut-off chunk and says how the stream ended.
  OvbaStatus finish();
  // Decompressed bytes written to the sink so far.
  std::uint64_t produced() const { return produced_; }

private:
  bool takeChunk();
  OvbaStatus decodeChunk(std::span<const std::byte> body, bool compressed);

  ByteSink& out_;
  OvbaStatus status_ = OvbaStatus::Ok;
  bool started_ = false;
  std::size_t chunkWanted_ = 0; // bytes of the current chunk, header included; 0 before a header
  std::size_t have_ = 0;        // bytes of the current chunk held in in_
  std::array<std::byte, kOvbaChunkSize + 2> in_{};
  std::array<std::byte, kOvbaChunkSize> outChunk_{};
  std::uint64_t produced_ = 0;
};

// Decompresses a whole container held in memory.
OvbaStatus OvbaDecompress(std::span<const std::byte> in, ByteSink& out);

} // namespace kyv::codec
