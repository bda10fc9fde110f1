// Extracts the same LZH archives with our reader and with libarchive in one process and prints
// the time of each (best of the repetitions) and the ratio ours / libarchive; both outputs are
// checked to be the same bytes first (size and CRC-32 of every member). ARJ archives, which
// libarchive does not read, are timed with our reader alone (compare with `arj t`).
//
//   dos_archive_bench [repetitions] archive.lzh|archive.arj ...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive/arj_reader.h"
#include "archive/lzh_reader.h"
#include "base/byte_io.h"
#include "libarchive_peer.h"

namespace {

using Bytes = std::vector<std::byte>;

using kyv::bench::bestSeconds;
using kyv::bench::CrcSink;
using kyv::bench::readFile;
using Result = kyv::bench::Extracted;

template <class Archive> Result ours(const Bytes& file) {
  Result r;
  Archive a(std::make_unique<kyv::MemorySource>(file), "bench");
  a.LoadDirectory();
  for (int i = 0; i < a.MemberCount(); ++i) {
    CrcSink sink;
    a.ExtractMemberToStreamAt(i, sink);
    if (!a.LastFailure().empty())
      r.ok = false;
    r.bytes += sink.size;
    r.crcs.push_back(sink.crc);
  }
  return r;
}

Result peer(const Bytes& file) {
  return kyv::bench::libarchiveExtract(
      file, [](archive* a) { archive_read_support_format_lha(a); },
      [](unsigned type) { return type == AE_IFDIR; });
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: dos_archive_bench REPETITIONS ARCHIVE...\n");
    return 2;
  }
  const int reps = std::max(1, std::atoi(argv[1]));
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    const Bytes file = readFile(path);
    const bool arj = path.extension() == ".arj";
    const auto mine = [&] {
      return arj ? ours<kyv::archive::TAbArjArchive>(file)
                 : ours<kyv::archive::TAbLzhArchive>(file);
    };
    const Result a = mine();
    const double t = bestSeconds(mine, reps);
    const double mb = static_cast<double>(a.bytes) / 1e6;
    if (arj) {
      std::printf("%-28s %8.1f MB  ours %7.1f MB/s%s\n", path.filename().c_str(), mb, mb / t,
                  a.ok ? "" : "  (DAMAGED)");
      continue;
    }
    const Result b = peer(file);
    if (!a.ok || !b.ok || a.crcs != b.crcs) {
      std::printf("%-28s outputs differ or fail (ours %s, libarchive %s)\n",
                  path.filename().c_str(), a.ok ? "ok" : "failed", b.ok ? "ok" : "failed");
      status = 1;
      continue;
    }
    const double tp = bestSeconds([&] { return peer(file); }, reps);
    std::printf(
        "%-28s %8.1f MB  ours %7.1f MB/s  libarchive %7.1f MB/s  time ratio ours/libarchive %.2f\n",
        path.filename().c_str(), mb, mb / t, mb / tp, t / tp);
  }
  return status;
}
