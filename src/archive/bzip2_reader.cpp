#include "archive/bzip2_reader.h"

#include <cstring>

#include "codec/bzip2.h"

namespace kyv::archive {

bool isBzip2Signature(std::span<const std::byte> head) {
  static constexpr unsigned char kBlock[] = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
  static constexpr unsigned char kEnd[] = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90};
  if (head.size() < 10 || std::memcmp(head.data(), "BZh", 3) != 0)
    return false;
  const auto level = std::to_integer<char>(head[3]);
  return level >= '1' && level <= '9' &&
         (std::memcmp(head.data() + 4, kBlock, 6) == 0 ||
          std::memcmp(head.data() + 4, kEnd, 6) == 0);
}

StreamOutcome DecodeBzip2(ByteSource& file, ByteSink& out) {
  using codec::Bzip2Status;
  const codec::Bzip2Result r = codec::bzip2DecodeAll(file, out);
  StreamOutcome outcome;
  if (r.writeRefused)
    outcome.note(StreamProblem::WriteRefused, "the output was refused");
  if (r.status == Bzip2Status::Randomised)
    outcome.note(StreamProblem::Unsupported,
                 std::string("bzip2: ") + codec::bzip2StatusText(r.status));
  else if (r.status != Bzip2Status::StreamEnd)
    outcome.note(StreamProblem::Damaged, std::string("bzip2: ") + codec::bzip2StatusText(r.status));
  return outcome;
}

} // namespace kyv::archive
