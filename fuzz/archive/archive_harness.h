// What the small archive fuzz targets share: the walk the unpacking kernel makes over a listed
// container, and the single-stream decode into a sink with a budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "archive/ab_archive.h"
#include "archive/stream_outcome.h"
#include "base/byte_io.h"

namespace kyv::fuzz {

// Larger inputs teach the fuzzer nothing the small ones do not.
inline constexpr std::size_t kMaxInput = 1u << 20;
// Images need their 32 KiB system area (and UDF its anchor at sector 256), so their inputs may be
// a little larger.
inline constexpr std::size_t kMaxImageInput = 1u << 21;

// Lists the archive and extracts its first 64 members, each into a sink that refuses past 4 MiB,
// as the kernel would. A listing that fails is an answer; member failures never leave the
// extraction, so anything thrown there is a defect and reaches the fuzzer.
inline void listAndExtract(archive::TAbArchive& archive) {
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return;
  }
  const int count = archive.MemberCount() < 64 ? archive.MemberCount() : 64;
  for (int i = 0; i < count; ++i) {
    VectorSink sink(1u << 22);
    archive.ExtractMemberToStreamAt(i, sink);
  }
}

// Runs decode(source, sink) over a copy of the input of its exact size (so any read past it is
// caught), into a sink that refuses past a few MiB as the scan's budget does. Whatever the
// outcome, the sink gets no more than it allows and the outcome agrees with itself.
template <class Decode>
void decodeWithBudget(const std::uint8_t* data, std::size_t size, Decode&& decode) {
  std::vector<std::byte> file(size);
  if (size > 0)
    std::memcpy(file.data(), data, size);
  MemorySource source(file);
  constexpr std::size_t kBudget = 4u << 20;
  VectorSink sink(kBudget);
  const archive::StreamOutcome outcome = decode(source, sink);
  if (sink.bytes().size() > kBudget ||
      (outcome.ok() != (outcome.problem == archive::StreamProblem::None)))
    std::abort();
}

} // namespace kyv::fuzz
