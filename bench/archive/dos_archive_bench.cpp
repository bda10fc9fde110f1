// Extracts the same LZH archives with our reader and with libarchive in one process and prints
// the time of each (best of the repetitions) and the ratio ours / libarchive; both outputs are
// checked to be the same bytes first (size and CRC-32 of every member). ARJ archives, which
// libarchive does not read, are timed with our reader alone (compare with `arj t`).
//
//   dos_archive_bench [repetitions] archive.lzh|archive.arj ...
#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "archive/arj_reader.h"
#include "archive/lzh_reader.h"
#include "base/byte_io.h"
#include "codec/checksum.h"

namespace {

using Bytes = std::vector<std::byte>;

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> c((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Bytes b(c.size());
  std::transform(c.begin(), c.end(), b.begin(), [](char ch) { return static_cast<std::byte>(ch); });
  return b;
}

class CrcSink final : public kyv::ByteSink {
public:
  bool write(std::span<const std::byte> data) override {
    crc = kyv::codec::crc32Update(crc, data);
    size += data.size();
    return true;
  }
  std::uint32_t crc = 0;
  std::uint64_t size = 0;
};

struct Result {
  bool ok = true;
  std::uint64_t bytes = 0;
  std::vector<std::uint32_t> crcs;
};

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
  Result r;
  archive* a = archive_read_new();
  archive_read_support_format_lha(a);
  if (archive_read_open_memory(a, file.data(), file.size()) != ARCHIVE_OK) {
    archive_read_free(a);
    return {false, 0, {}};
  }
  archive_entry* entry;
  std::vector<std::byte> buf(1 << 16);
  while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
    if (archive_entry_filetype(entry) == AE_IFDIR)
      continue;
    std::uint32_t crc = 0;
    for (;;) {
      const la_ssize_t n = archive_read_data(a, buf.data(), buf.size());
      if (n < 0) {
        r.ok = false;
        break;
      }
      if (n == 0)
        break;
      crc = kyv::codec::crc32Update(crc, std::span(buf.data(), static_cast<std::size_t>(n)));
      r.bytes += static_cast<std::uint64_t>(n);
    }
    r.crcs.push_back(crc);
  }
  archive_read_free(a);
  return r;
}

template <class F> double bestSeconds(F&& f, int reps) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  return best;
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
    const auto mine = [&] { return arj ? ours<kyv::archive::TAbArjArchive>(file) : ours<kyv::archive::TAbLzhArchive>(file); };
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
      std::printf("%-28s outputs differ or fail (ours %s, libarchive %s)\n", path.filename().c_str(),
                  a.ok ? "ok" : "failed", b.ok ? "ok" : "failed");
      status = 1;
      continue;
    }
    const double tp = bestSeconds([&] { return peer(file); }, reps);
    std::printf("%-28s %8.1f MB  ours %7.1f MB/s  libarchive %7.1f MB/s  time ratio ours/libarchive %.2f\n",
                path.filename().c_str(), mb, mb / t, mb / tp, t / tp);
  }
  return status;
}
