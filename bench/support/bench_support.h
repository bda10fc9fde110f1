// What the benchmarks share: reading their inputs, timing a run (best of several), and a sink
// that keeps only the size and CRC-32 of what passes through it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "base/byte_io.h"
#include "codec/checksum.h"

namespace kyv::bench {

// The file's bytes (at most limit of them); empty when it cannot be read.
template <class Byte = std::byte>
std::vector<Byte> readFile(const std::filesystem::path& path, std::size_t limit = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (c.size() > limit)
    c.resize(limit);
  std::vector<Byte> b(c.size());
  std::transform(c.begin(), c.end(), b.begin(), [](char ch) { return static_cast<Byte>(ch); });
  return b;
}

// The best wall time of reps runs of f, in seconds.
template <class F> double bestSeconds(F&& f, int reps) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

// Processor time of this process for one run of f, in seconds: on a shared machine it drifts
// less than wall time.
template <class F> double processorSeconds(F&& f) {
  const std::clock_t t0 = std::clock();
  f();
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

class CrcSink final : public ByteSink {
public:
  bool write(std::span<const std::byte> data) override {
    crc = codec::crc32Update(crc, data);
    size += data.size();
    return true;
  }
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
};

// What one extraction of a whole archive gave: whether every member came out cleanly, the bytes
// written and each member's CRC-32, in order.
struct Extracted {
  bool ok = true;
  std::uint64_t bytes = 0;
  std::vector<std::uint32_t> crcs;
};

} // namespace kyv::bench
