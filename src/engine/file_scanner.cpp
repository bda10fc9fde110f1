#include "engine/file_scanner.h"

#include <span>

#include "base/endian.h"
#include "base/error.h"
#include "engine/database.h"
#include "platform/system.h"

namespace kyv::engine {

namespace {
constexpr std::size_t kPeOffsetField = 60;
} // namespace

bool TFileScanner::OpenFile(const std::string& path) {
  LastError.clear();
  TooLarge = false;
  std::optional<platform::File> file = platform::File::openRead(path);
  if (!file) {
    LastError = platform::lastErrorText();
    return false;
  }
  try {
    return ReadSamples(*file);
  } catch (const std::exception& error) {
    LastError = error.what();
    return false;
  }
}

bool TFileScanner::ReadSamples(const platform::File& file) {
  const std::uint64_t size = file.size();
  // Sizes are signed 32-bit everywhere downstream. A file of 2 GiB or more, 4 GiB and beyond
  // included, is refused as a whole rather than sampled under a truncated size that could match
  // a small file's descriptor; only its head is read, for the unpacker.
  TooLarge = size >= 0x80000000u;
  if (TooLarge) {
    ReadHead(file);
    throw kyv::Error(ErrorKind::Limit, "file too large to sample");
  }
  FileInfo.FileSize = static_cast<std::int32_t>(size);

  const std::size_t headRead = ReadHead(file);
  FileInfo.Sums[0] = WeightedSum(std::span(HeadBuf).first(headRead));

  std::size_t tailRead = 0;
  if (size >= kTailSample)
    tailRead = file.readAt(size - kTailSample, std::span(TailBuf).first(kTailSample));
  FileInfo.Sums[1] = WeightedSum(std::span(TailBuf).first(tailRead));

  const std::size_t read5000 = file.readAt(kWindow1Offset, std::span(Buf5000).first(kWindowSample));
  FileInfo.Sums[2] = WeightedSum(std::span(Buf5000).first(read5000));
  const std::size_t read10000 =
      file.readAt(kWindow2Offset, std::span(Buf10000).first(kWindowSample));
  FileInfo.Sums[3] = WeightedSum(std::span(Buf10000).first(read10000));
  return true;
}

std::size_t TFileScanner::ReadHead(const platform::File& file) {
  const std::size_t headRead = file.readAt(0, std::span(HeadBuf).first(kHeadSample));
  const auto b0 = HeadBuf[0];
  const auto b1 = HeadBuf[1];
  FileInfo.IsMZ = (b0 == std::byte{'M'} && b1 == std::byte{'Z'}) ||
                  (b0 == std::byte{'Z'} && b1 == std::byte{'M'});
  if (FileInfo.IsMZ) {
    const std::uint32_t v = loadLe32(HeadBuf.data() + kPeOffsetField);
    // Offsets up to 4096 stay inside the buffer; the byte after the last one read from the file
    // is always zero, so a signature cannot straddle the end of the head sample.
    FileInfo.IsPE = v < kSampleBufSize - 1
                        ? HeadBuf[v] == std::byte{'P'} && HeadBuf[v + 1] == std::byte{'E'}
                        : false;
  }
  return headRead;
}

} // namespace kyv::engine
