// bzip2 decoding: one or more streams ("BZh" + level, blocks, end-of-stream marker) back to back.
//
// Each block is Huffman-decoded (up to six tables chosen per 50 symbols), undone from its
// move-to-front and zero-run coding into a vector of at most 900 000 bytes, then walked through
// the inverse Burrows-Wheeler transform, with the run-length coding of four equal bytes and a count
// undone on the way out. Memory: the one block vector (4 bytes per byte of block) and the tables,
// whatever the input claims.
//
// The decoder pulls its input from a source and writes into the caller's buffers, so a stream of
// any size decodes a buffer at a time:
//
//   Bzip2Decoder d(source);
//   for (;;) {
//     std::size_t n = 0;
//     const Bzip2Status s = d.read(buffer, n);
//     use(buffer.first(n));
//     if (s != Bzip2Status::Ok) break;   // StreamEnd, or damage (see bzip2Recoverable)
//   }
//
// What is particular to this decoder:
//   - streams that follow one another are decoded as one output, as `bzip2 -d` does; bytes after
//     the last stream that do not start another one end the output (trailingData() tells);
//   - a block whose check fails has been delivered all the same: the status says so once, and the
//     next call goes on with the next block;
//   - randomised blocks (an option of encoders from before 1999) are refused, not decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] Bzip2Status{
    Ok,        // the buffer is full; call again for more
    StreamEnd, // the last stream ended; nothing more will come
    // The check of the data failed. The data was delivered; reading on continues with what follows.
    BlockCrcMismatch,  // a block's bytes do not give its CRC
    StreamCrcMismatch, // the blocks' CRCs do not give the stream's combined CRC
    // Damaged data: reading on returns the same status.
    BadSignature,  // the input does not start with "BZh" and a level from 1 to 9
    BadBlockMagic, // neither a block nor the end-of-stream marker where one must start
    Randomised,    // a randomised block: obsolete, not decoded
    BadOrigin,     // the block's start position lies outside the block
    NoSymbols,     // the symbol map uses no byte value
    BadTableCount, // fewer than 2 or more than 6 Huffman tables
    NoSelectors,   // a selector count of 0
    BadSelector,   // a selector naming a table past the last
    BadCodeLength, // a code length outside 1 to 20
    BadCode,       // over-subscribed code lengths, or a code word no symbol has
    BlockTooLong,  // more bytes than the stream's level allows, or more groups than selectors
    Truncated,     // the input ended inside a stream
};

// True for the statuses after which reading on gives more data.
inline bool bzip2Recoverable(Bzip2Status s) {
  return s == Bzip2Status::Ok || s == Bzip2Status::BlockCrcMismatch ||
         s == Bzip2Status::StreamCrcMismatch;
}

// A short English description of a status, for error messages.
const char* bzip2StatusText(Bzip2Status s);

class Bzip2Decoder {
public:
  // The bytes from the source's current position, at most `limit` of them.
  explicit Bzip2Decoder(ByteSource& in, std::uint64_t limit = UINT64_MAX);
  // Bytes already in memory; they must outlive the decoder.
  explicit Bzip2Decoder(std::span<const std::byte> in);
  ~Bzip2Decoder();
  Bzip2Decoder(const Bzip2Decoder&) = delete;
  Bzip2Decoder& operator=(const Bzip2Decoder&) = delete;

  // Fills `out` (Ok) or ends earlier with another status; `produced` receives the bytes written,
  // which are decoded data whatever the status.
  Bzip2Status read(std::span<std::byte> out, std::size_t& produced);

  // Output bytes delivered so far.
  std::uint64_t produced() const;
  // Input bytes used so far (whole bytes, the end-of-stream padding included).
  std::uint64_t consumed() const;
  // After StreamEnd: bytes followed the last stream that did not start another one.
  bool trailingData() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

struct Bzip2Result {
  Bzip2Status status = Bzip2Status::StreamEnd; // the first failed check if any, or how it ended
  std::uint64_t produced = 0;
  bool limitReached = false; // stopped at outputLimit with more data to come
  bool writeRefused = false; // the sink refused a write
};

// Decodes every stream from `in` into `out`, going on past failed checks (the first is reported);
// stops at damage, at a refused write or after `outputLimit` bytes (0: no limit).
Bzip2Result bzip2DecodeAll(ByteSource& in, ByteSink& out, std::uint64_t inputLimit = UINT64_MAX,
                           std::uint64_t outputLimit = 0);

} // namespace kyv::codec
