// The data of an INSTREAM command: chunks, each a 4-byte big-endian length and that many bytes,
// ended by a chunk of length zero. Lengths are the sender's word only: each is checked against
// the stream limit before a byte of its data is taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kyv::daemon {

class ChunkDecoder {
public:
  enum class Event {
    None,      // bytes taken, nothing more to report
    Data,      // data holds payload bytes to keep
    End,       // the zero-length chunk arrived: the stream is complete
    OverLimit, // a chunk would take the stream past the limit; nothing of it was taken
  };
  struct Step {
    std::size_t consumed = 0;
    Event event = Event::None;
    std::span<const std::byte> data;
  };

  explicit ChunkDecoder(std::uint64_t limit) : limit_(limit) {}

  // Takes bytes from the front of input and says what they were. Call again with the rest
  // while bytes remain and the event is neither End nor OverLimit; after those it takes nothing.
  Step Feed(std::span<const std::byte> input);

  std::uint64_t Total() const { return total_; } // payload bytes announced so far
  bool Finished() const { return finished_; }

private:
  std::uint64_t limit_;
  std::uint64_t total_ = 0;
  std::uint32_t remaining_ = 0; // data bytes still owed by the current chunk
  std::uint32_t header_ = 0;    // length bytes gathered so far, big-endian
  int headerBytes_ = 0;
  bool finished_ = false;
};

} // namespace kyv::daemon
