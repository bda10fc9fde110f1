// How decoding a one-member compressed file (xz, .lzma) ended: everything decoded is written
// whatever happens; this says whether that was all of it and, if not, why.
#pragma once

#include <string>

namespace kyv::archive {

enum class StreamProblem {
  None,
  Damaged,      // the data or a header is damaged, or a check does not match
  Unsupported,  // a filter or option this reader does not decode
  TooLarge,     // the stream needs more memory than a reader here may take
  WriteRefused, // the sink refused the output (the scan's budget ran out, the disk is full)
};

struct StreamOutcome {
  StreamProblem problem = StreamProblem::None;
  std::string reason; // in words, for the scan's record

  bool ok() const { return problem == StreamProblem::None; }
  // Keeps the first problem met.
  void note(StreamProblem p, std::string why) {
    if (problem == StreamProblem::None) {
      problem = p;
      reason = std::move(why);
    }
  }
};

} // namespace kyv::archive
