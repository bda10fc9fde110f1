// Extracts the same RAR archives with our reader and with libarchive in one process and prints
// the time of each (best of the repetitions) and the ratio ours / libarchive. Both compute the
// CRC-32 of every member, and both outputs are checked against the archive's CRC first.
//
// Inputs: the archives of the shared fixture folder that libarchive 3.6 also decodes (no solid
// archives, no RAR 1.5/2.0): LZ with filters, long LZ, PPMd, RAR 5 LZ with filters.
//
//   unrar_bench [fixture-rar-folder] [repetitions]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "libarchive_peer.h"
#include "unrar/rar_archive.h"

namespace {

using Bytes = std::vector<std::byte>;

using kyv::bench::bestSeconds;
using kyv::bench::CrcSink;
using kyv::bench::readFile;
using Result = kyv::bench::Extracted;

Result ours(const Bytes& file) {
  Result r;
  kyv::MemorySource src(file);
  kyv::unrar::RarArchive a(src);
  if (a.open() != kyv::unrar::RarStatus::Ok)
    return {false, 0, {}};
  kyv::unrar::RarEntry e;
  while (a.next(e) == kyv::unrar::RarStatus::Ok) {
    // Links carry their target as data in old archives; libarchive reports them without data.
    if (e.directory || e.redirection != 0 || (e.hostOs == 3 && (e.attributes & 0xF000) == 0xA000))
      continue;
    CrcSink sink;
    if (a.extract(&sink) != kyv::unrar::RarStatus::Ok)
      r.ok = false;
    r.bytes += sink.size;
    r.crcs.push_back(sink.crc);
  }
  return r;
}

Result peer(const Bytes& file) {
  return kyv::bench::libarchiveExtract(
      file,
      [](archive* a) {
        archive_read_support_format_rar(a);
        archive_read_support_format_rar5(a);
      },
      [](unsigned type) { return type == AE_IFDIR || type == AE_IFLNK; });
}

} // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : KYV_FIXTURES_RAR;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 5;
  const char* names[] = {
      "libarchive-test_read_format_rar_filter.rar",            // 2.9 LZ, E8E9 and delta filters
      "libarchive-test_read_format_rar_multi_lzss_blocks.rar", // 2.9 LZ, 20 MB of output
      "libarchive-test_read_format_rar_compress_best.rar",     // 2.9 PPMd
      "koni-ppmd_rar4.rar",                                    // 2.9 PPMd, 1 MB model
      "koni-filter_rgb.rar",                                   // 2.9 LZ, RGB and delta filters
      "libarchive-test_read_format_rar5_arm.rar",              // RAR 5 LZ, ARM and delta filters
      "junrar-rar5-e8e9.rar",                                  // RAR 5 LZ, E8E9 filter
  };
  double totalOurs = 0, totalPeer = 0;
  std::printf("%-58s %10s %10s %10s %7s\n", "archive", "output", "ours ms", "peer ms", "ratio");
  for (const char* name : names) {
    const Bytes file = readFile(dir / name);
    if (file.empty()) {
      std::printf("%-58s missing\n", name);
      continue;
    }
    const Result a = ours(file);
    const Result b = peer(file);
    if (a.ok && !b.ok) {
      // Still timed, so that a change of our own speed on it shows.
      const double to = bestSeconds([&] { (void)ours(file); }, reps);
      std::printf("%-58s %10llu %10.2f %10s  (the peer cannot decode it)\n", name,
                  static_cast<unsigned long long>(a.bytes), to * 1e3, "-");
      continue;
    }
    if (!a.ok || !b.ok || a.crcs != b.crcs) {
      std::printf("%-58s outputs differ or failed (ours %s, peer %s)\n", name,
                  a.ok ? "ok" : "FAILED", b.ok ? "ok" : "FAILED");
      continue;
    }
    const double to = bestSeconds([&] { (void)ours(file); }, reps);
    const double tp = bestSeconds([&] { (void)peer(file); }, reps);
    totalOurs += to;
    totalPeer += tp;
    std::printf("%-58s %10llu %10.2f %10.2f %7.2f\n", name,
                static_cast<unsigned long long>(a.bytes), to * 1e3, tp * 1e3, to / tp);
  }
  if (totalPeer > 0)
    std::printf("%-58s %10s %10.2f %10.2f %7.2f\n", "total", "", totalOurs * 1e3, totalPeer * 1e3,
                totalOurs / totalPeer);
  return 0;
}
