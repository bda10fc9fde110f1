// Deflate (RFC 1951) and Deflate64 decoding from a byte source into a byte sink.
//
// Deflate64 is Deflate with a 64 KiB window: length symbol 285 takes 16 extra bits on a base of
// 3, and distance symbols 30 and 31 reach 32769 and 49153 bytes back with 14 extra bits.
//
// The decoder collects output in its window and writes it to the sink in slices of at most
// 32 KiB, each time the window fills (about every 256 KiB) and at the end. Whatever happens, the
// bytes decoded before the end stay written: on damaged data, on a stop asked for, at the output
// limit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "base/byte_io.h"

namespace kyv::codec {

enum class [[nodiscard]] InflateStatus{
    Ok,           // the final block ended; all output is written
    LimitReached, // the output limit was reached; exactly that much output is written
    Stopped,      // onWindowMove asked to stop
    WriteRefused, // the sink refused a write
    // Damaged data.
    BadStoredLength,       // a stored block's length and its complement disagree
    TooManyLengthCodes,    // a dynamic block declares more than 286 literal/length codes
    TooManyDistanceCodes,  // more than 30 distance codes (Deflate)
    BadCodeLength,         // the code-length code has no word for the bits read
    RepeatPastEnd,         // a code-length repeat runs past the declared codes
    RepeatWithoutPrevious, // repeat of the previous length at the first length
    OverSubscribed,        // code lengths that give more code words than there is room for
    BadBlockType,          // block type 3
    BadLengthSymbol,       // literal/length symbol 286 or 287
    BadDistanceSymbol,     // distance symbol 30 or 31 (Deflate)
    UnusedCode,            // a code word that no symbol of an incomplete code has
    DistanceTooFar,        // a match reaching before the start of the output
    // The input ended where more was needed.
    EndInBlockFlag,  // at the final-block flag
    EndInField,      // in a fixed-size header field
    EndInCodes,      // in Huffman-coded data or the padding before a stored block
    EndInStoredData, // in a stored block's bytes
};

struct InflateOptions {
  bool deflate64 = false;
  // Stop after this many output bytes (InflateStatus::LimitReached); 0 = no limit.
  std::uint64_t outputLimit = 0;
  // Called after each time the window has been written out; returning true stops decoding
  // (InflateStatus::Stopped).
  std::function<bool()> onWindowMove;
};

class Inflater {
public:
  // Reads from the source's current position.
  Inflater(ByteSource& in, InflateOptions options);
  ~Inflater();
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Decodes the stream into out. Call once.
  InflateStatus run(ByteSink& out);

  // Output bytes decoded so far: all written, unless the sink refused a write.
  std::uint64_t produced() const;
  // Input bytes read from the source but not used: after InflateStatus::Ok, seeking back by this
  // much leaves the source just past the stream (the final block's padding bits belong to the
  // last byte used).
  std::uint64_t unusedInput() const;

private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace kyv::codec
