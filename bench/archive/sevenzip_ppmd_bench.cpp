// PPMd in 7z: our decoding of a 7z PPMd archive (every member into a counting sink, in this
// process) against 7zz extracting the same archive to /dev/null, timed alike (best of N). The
// archive is made here by 7zz from generated text and binary content. Prints the speed ratio
// (7zz time / ours: above 1 is faster than 7zz).
//   sevenzip_ppmd_bench [MEGABYTES] [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

#include "archive/sevenzip_reader.h"
#include "base/byte_io.h"

namespace {

struct CountingSink final : kyv::ByteSink {
  std::uint64_t bytes = 0;
  bool write(std::span<const std::byte> data) override {
    bytes += data.size();
    return true;
  }
};

template <class F> double bestSeconds(F&& f, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
}

void writeContent(const std::filesystem::path& dir, std::size_t megabytes) {
  std::filesystem::create_directories(dir);
  std::mt19937 rng(7);
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string w;
    for (std::uint32_t n = 2 + rng() % 8; n > 0; --n)
      w += static_cast<char>('a' + rng() % 26);
    words.push_back(w);
  }
  const std::size_t part = megabytes << 20;
  std::ofstream text(dir / "text.txt", std::ios::binary);
  for (std::size_t n = 0; n < part * 3 / 4;) {
    const std::string& w = words[rng() % words.size()];
    text << w << (rng() % 12 == 0 ? '\n' : ' ');
    n += w.size() + 1;
  }
  std::ofstream bin(dir / "data.bin", std::ios::binary);
  for (std::size_t n = 0; n < part / 4; ++n)
    bin.put(static_cast<char>(rng() % 3 == 0 ? rng() & 0xFF : n % 7));
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const auto work = std::filesystem::temp_directory_path() / ("kyv-ppmd-bench-" + std::to_string(::getpid()));
  writeContent(work / "in", megabytes);
  const auto arc = work / "ppmd.7z";
  const std::string make = "cd '" + (work / "in").string() + "' && 7zz a -bd -bso0 -m0=PPMd:o=6:mem=16m '" +
                           arc.string() + "' . >/dev/null";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "7zz could not make the archive\n");
    std::filesystem::remove_all(work);
    return 1;
  }
  std::uint64_t produced = 0;
  const double ours = bestSeconds([&] {
    kyv::archive::TAb7zArchive reader(arc.string());
    reader.LoadDirectory();
    CountingSink sink;
    reader.ExtractMembers([&](int) -> kyv::ByteSink* { return &sink; },
                          [](int, const kyv::archive::T7zOutcome&) { return true; });
    produced = sink.bytes;
  }, runs);
  const std::string extract = "7zz x -so '" + arc.string() + "' >/dev/null 2>&1";
  const double peer = bestSeconds([&] { (void)std::system(extract.c_str()); }, runs);
  std::filesystem::remove_all(work);
  std::printf("PPMd (order 6, 16 MiB) in 7z: %llu bytes of output\n", static_cast<unsigned long long>(produced));
  std::printf("ours %.3f s, 7zz x -so %.3f s, speed ratio %.2f\n", ours, peer, peer / ours);
  return 0;
}
