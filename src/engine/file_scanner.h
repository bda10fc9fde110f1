// The per-file samples the engine matches on: size, the executable flags, and weighted sums of
// the head, the tail and two fixed windows. At most four positioned reads per file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace kyv::engine {

struct TKYVFileInfo {
  std::int32_t FileSize = 0;
  bool IsMZ = false;
  bool IsPE = false;
  std::array<std::uint32_t, 4> Sums{};
};

inline constexpr std::size_t kSampleBufSize = 4097;
inline constexpr std::size_t kHeadSample = 2000;
inline constexpr std::size_t kTailSample = 2000;
inline constexpr std::size_t kWindowSample = 200;
inline constexpr std::uint64_t kWindow1Offset = 5000;
inline constexpr std::uint64_t kWindow2Offset = 10000;

class TFileScanner {
public:
  using SampleBuf = std::array<std::byte, kSampleBufSize>;

  TKYVFileInfo FileInfo;
  // The head sample; always followed by zero bytes, so it reads as a zero-terminated text too.
  SampleBuf HeadBuf{};
  SampleBuf TailBuf{};
  SampleBuf Buf5000{};
  SampleBuf Buf10000{};

  // Why the last OpenFile failed, in words (the system's reason); empty after a success.
  std::string LastError;
  // The file is 2 GiB or more: sizes are signed 32-bit, so it was not sampled and no
  // descriptor may be matched against it; its head was read all the same, so that a container
  // this large can still be unpacked.
  bool TooLarge = false;

  // Opens the file, samples it and closes it. False when it could not be opened or sampled
  // completely; whatever was computed before a failure stays.
  bool OpenFile(const std::string& path);
  // The sampling itself. Throws kyv::Error for a file of 2 GiB or more, after reading its head
  // (TooLarge).
  bool ReadSamples(const platform::File& file);

private:
  // Reads the head sample and the executable flags; returns the bytes read.
  std::size_t ReadHead(const platform::File& file);
};

} // namespace kyv::engine
