// LZMA and LZMA2 decoding: the range-coded LZ77 of the 7z and xz formats.
//
// LZMA is one range-coded stream over a dictionary; it ends at a size given outside it or at an
// end marker. LZMA2 wraps LZMA in chunks of at most 2 MiB of output, each of which may reset the
// dictionary, the coder state or the literal/position properties, or carry bytes uncompressed;
// a zero control byte ends it.
//
// The decoder is resumable: `read` gives up to a span of output at a time, `run` writes the rest
// of the stream to a sink. Input comes from an InputBuffer (codec/bit_input.h) with its
// end-of-input rule; when a stream ends, the buffer stands just past its last byte, so a
// container reads on from there. Memory is the window (the dictionary, or the declared output
// when that is smaller) plus the probability tables; nothing is sized by the stream beyond that,
// and a window larger than kLzmaMaxDictionary is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "base/byte_io.h"
#include "codec/bit_input.h"

namespace kyv::codec {

enum class [[nodiscard]] LzmaStatus{
    Ok,           // read(): the span is full and the stream goes on
    StreamEnd,    // the stream ended (end marker, declared size, LZMA2 end); all output is given
    LimitReached, // run(): the output limit was reached; exactly that much is written
    WriteRefused, // run(): the sink refused a write
    // Refused before decoding.
    BadProperties,      // lc > 8, lp > 4 or pb > 4 (lc + lp > 4 in LZMA2), or a bad dictionary byte
    DictionaryTooLarge, // the window needed is larger than kLzmaMaxDictionary
    NoMemory,           // the window or the tables could not be allocated
    NotStarted,         // read()/run() before startLzma()/startLzma2()
    // Damaged data.
    BadRangeStart,     // a range coder's first byte is not zero
    DistanceTooFar,    // a match reaching before the start of the output or past the dictionary
    MatchPastEnd,      // a match running past the declared size or the LZMA2 chunk
    EarlyEndMarker,    // an end marker before the declared size, or inside an LZMA2 chunk
    BadFinish,         // the range coder is not clean where the stream ends
    BadChunk,          // LZMA2: bad control byte, or a chunk that needs a reset or properties first
    ChunkSizeMismatch, // LZMA2: an LZMA chunk whose data is not exactly its packed size
    Truncated,         // the input ended where more was needed
};

// True for the statuses that mean damaged data or a refusal.
inline bool isLzmaError(LzmaStatus s) { return s >= LzmaStatus::BadProperties; }
// A short English reason, for messages.
const char* lzmaStatusText(LzmaStatus s);

struct LzmaProperties {
  unsigned lc = 3; // literal context bits, 0-8
  unsigned lp = 0; // literal position bits, 0-4
  unsigned pb = 2; // position bits, 0-4
  std::uint32_t dictionarySize = 1u << 23;
};

// Windows above this are refused: the plug-in runs in a 32-bit host that shares its address
// space, and 128 MiB is twice the largest dictionary any preset of the common compressors uses
// (64 MiB); a stream whose declared output is smaller needs only that much whatever it declares.
inline constexpr std::uint32_t kLzmaMaxDictionary = 128u << 20;
inline constexpr std::uint64_t kLzmaUnknownSize = UINT64_MAX;

// The properties byte (pb * 5 + lp) * 9 + lc; nullopt above 224.
std::optional<LzmaProperties> decodeLzmaPropertiesByte(std::uint8_t b);
// The 5-byte form of .lzma headers, 7z and ZIP: the byte above and the dictionary size (LE).
std::optional<LzmaProperties> parseLzmaProperties(std::span<const std::byte> props);
// LZMA2's dictionary byte: 2^(b/2 + 12) times 2 or 3; nullopt above 40 (40 is 4 GiB - 1).
std::optional<std::uint32_t> lzma2DictionarySize(std::uint8_t b);

class LzmaDecoder {
public:
  LzmaDecoder();
  ~LzmaDecoder();
  LzmaDecoder(const LzmaDecoder&) = delete;
  LzmaDecoder& operator=(const LzmaDecoder&) = delete;

  // Begins an LZMA stream. With a known unpackedSize decoding stops there (an end marker after
  // it is not read); with kLzmaUnknownSize the stream must end with the end marker.
  LzmaStatus startLzma(const LzmaProperties& props, std::uint64_t unpackedSize);
  // Begins an LZMA2 stream. A known unpackedSize only makes the window smaller; a stream that
  // goes past it fails with DistanceTooFar at the latest once the window would be outgrown.
  LzmaStatus startLzma2(std::uint32_t dictionarySize,
                        std::uint64_t unpackedSize = kLzmaUnknownSize);

  // Decodes up to out.size() bytes into out; `produced` is how many were given, also on failure
  // (everything decoded before it).
  LzmaStatus read(InputBuffer& in, std::span<std::byte> out, std::size_t& produced);
  // Decodes the rest of the stream into out; stops after outputLimit more bytes.
  LzmaStatus run(InputBuffer& in, ByteSink& out, std::uint64_t outputLimit = UINT64_MAX);

  // Output since the start of the stream.
  std::uint64_t produced() const;
  // Bytes allocated for the window.
  std::size_t windowSize() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace kyv::codec
