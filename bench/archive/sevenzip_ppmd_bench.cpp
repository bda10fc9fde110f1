// PPMd in 7z: our decoding of a 7z PPMd archive (every member into a counting sink, in this
// process) against libarchive reading the same archive in this process, and against 7zz
// extracting it to /dev/null (a process of its own), each timed alike: processor time (user and
// system), best of N, so that other work on a shared machine does not blur the ratios. The archive
// is made here by 7zz from generated text and binary content. Prints the speed ratios (peer time /
// ours: above 1 is faster than the peer). The libarchive ratio is the one comparable with the RAR
// PPMd benchmark, which measures against libarchive in process too.
//   sevenzip_ppmd_bench [MEGABYTES] [RUNS]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <archive.h>
#include <archive_entry.h>
#include <sys/resource.h>
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

// Processor time of this process and of its waited-for children.
double cpuSeconds() {
  double total = 0;
  for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    ::getrusage(who, &u);
    total += static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
             static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
  }
  return total;
}

template <class F> double bestSeconds(F&& f, int runs) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    const double t0 = cpuSeconds();
    f();
    best = std::min(best, cpuSeconds() - t0);
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

// Every member read through libarchive; the bytes of output.
std::uint64_t libarchiveRead(const std::string& path) {
  archive* a = archive_read_new();
  archive_read_support_format_7zip(a);
  std::uint64_t bytes = 0;
  if (archive_read_open_filename(a, path.c_str(), 1 << 16) == ARCHIVE_OK) {
    archive_entry* entry;
    std::vector<char> buf(1 << 16);
    while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
      for (la_ssize_t n; (n = archive_read_data(a, buf.data(), buf.size())) > 0;)
        bytes += static_cast<std::uint64_t>(n);
    }
  }
  archive_read_free(a);
  return bytes;
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const auto work =
      std::filesystem::temp_directory_path() / ("kyv-ppmd-bench-" + std::to_string(::getpid()));
  writeContent(work / "in", megabytes);
  const auto arc = work / "ppmd.7z";
  const std::string make = "cd '" + (work / "in").string() +
                           "' && 7zz a -bd -bso0 -m0=PPMd:o=6:mem=16m '" + arc.string() +
                           "' . >/dev/null";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "7zz could not make the archive\n");
    std::filesystem::remove_all(work);
    return 1;
  }
  std::uint64_t produced = 0;
  const double ours = bestSeconds(
      [&] {
        kyv::archive::TAb7zArchive reader(arc.string());
        reader.LoadDirectory();
        CountingSink sink;
        reader.ExtractMembers([&](int) -> kyv::ByteSink* { return &sink; },
                              [](int, const kyv::archive::T7zOutcome&) { return true; });
        produced = sink.bytes;
      },
      runs);
  std::uint64_t peerProduced = 0;
  const double libarchive = bestSeconds([&] { peerProduced = libarchiveRead(arc.string()); }, runs);
  const std::string extract = "7zz x -so '" + arc.string() + "' >/dev/null 2>&1";
  const double peer = bestSeconds([&] { (void)std::system(extract.c_str()); }, runs);
  std::filesystem::remove_all(work);
  std::printf("PPMd (order 6, 16 MiB) in 7z: %llu bytes of output\n",
              static_cast<unsigned long long>(produced));
  if (peerProduced != produced)
    std::printf("libarchive gave %llu bytes\n", static_cast<unsigned long long>(peerProduced));
  std::printf("ours %.3f s, libarchive %.3f s, speed ratio %.2f\n", ours, libarchive,
              libarchive / ours);
  std::printf("ours %.3f s, 7zz x -so %.3f s, speed ratio %.2f\n", ours, peer, peer / ours);
  return 0;
}
