// Unpacks every stored file of one large CHM with this reader and with libmspack's CHM
// decompressor, both taking the files in section order (so each decodes the section once), in
// the same process, and prints the times and their ratio.
//
//   chm_bench [file.chm]
// Without an argument a CHM of about 8 MB of text and programs is made with chmcmd.
#include <mspack.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "chm/chm_unpacker.h"

namespace fs = std::filesystem;

namespace {

std::uint64_t unpackOurs(const std::string& path) {
  kyv::chm::TCHMUnpacker u;
  u.SetFileName(path);
  if (!u.Open())
    return 0;
  kyv::NullSink sink;
  for (const std::size_t i : u.ItemsInStreamOrder()) {
    const auto& item = u.Items()[i];
    if (!item.Name.starts_with("::") && item.Length != 0)
      (void)u.ExtractItem(sink, item);
  }
  return sink.count();
}

std::uint64_t unpackPeer(const std::string& path) {
  mschm_decompressor* d = mspack_create_chm_decompressor(nullptr);
  mschmd_header* h = d->open(d, const_cast<char*>(path.c_str()));
  std::uint64_t total = 0;
  if (h != nullptr) {
    std::vector<mschmd_file*> files;
    for (mschmd_file* f = h->files; f != nullptr; f = f->next)
      if (f->length != 0)
        files.push_back(f);
    std::sort(files.begin(), files.end(), [](auto* a, auto* b) {
      return a->section->id != b->section->id ? a->section->id < b->section->id
                                              : a->offset < b->offset;
    });
    for (mschmd_file* f : files)
      if (d->extract(d, f, const_cast<char*>("/dev/null")) == MSPACK_ERR_OK)
        total += static_cast<std::uint64_t>(f->length);
    d->close(d, h);
  } else {
    std::fprintf(stderr, "libmspack refused %s (error %d)\n", path.c_str(), d->last_error(d));
  }
  mspack_destroy_chm_decompressor(d);
  return total;
}

struct Times {
  double wall = 1e30; // best elapsed time
  double cpu = 1e30;  // best processor time: what a busy machine disturbs least
};

template <class F> void measure(F&& f, std::uint64_t& bytes, Times& best) {
  const auto t0 = std::chrono::steady_clock::now();
  const std::clock_t c0 = std::clock();
  bytes = f();
  const double cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
  best.wall = std::min(
      best.wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  best.cpu = std::min(best.cpu, cpu);
}

std::string makeSample(const fs::path& dir) {
  fs::create_directories(dir);
  std::mt19937 rng(3);
  const char* words[] = {"alpha", "beta",  "gamma", "delta",   "window",
                         "frame", "help",  "topic", "index",   "search",
                         "table", "virus", "mail",  "archive", "section"};
  std::string hhp =
      "[OPTIONS]\nCompiled file=bench.chm\nDefault topic=page0.html\nTitle=bench\n\n[FILES]\n";
  for (int p = 0; p < 8; ++p) {
    std::string text = "<html><body>\n";
    while (text.size() < 800000) {
      text += words[rng() % 15];
      text += rng() % 11 == 0 ? "\n" : " ";
    }
    std::ofstream(dir / ("page" + std::to_string(p) + ".html"), std::ios::binary) << text;
    hhp += "page" + std::to_string(p) + ".html\n";
  }
  for (const char* program : {"/bin/ls", "/usr/bin/cmake"})
    if (fs::exists(program)) {
      const std::string name = fs::path(program).filename().string() + ".bin";
      fs::copy_file(program, dir / name, fs::copy_options::overwrite_existing);
      hhp += name + "\n";
    }
  std::ofstream(dir / "bench.hhp") << hhp;
  const std::string cmd =
      "cd '" + dir.string() + "' && chmcmd --no-html-scan bench.hhp >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0)
    return {};
  return (dir / "bench.chm").string();
}

// The compiler used above writes a wrong second GUID in the file header, and libmspack refuses
// such files; the peer gets a copy with the GUID corrected (the data are untouched).
std::string peerCopy(const std::string& path, const fs::path& dir) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.size() > 40 && bytes[40] == 0x10)
    bytes[40] = 0x11;
  const fs::path copy = dir / "peer.chm";
  std::ofstream(copy, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return copy.string();
}

} // namespace

int main(int argc, char** argv) {
  const fs::path work = fs::temp_directory_path() / ("chm_bench_" + std::to_string(::getpid()));
  std::string path = argc > 1 ? argv[1] : makeSample(work);
  if (path.empty()) {
    std::fprintf(stderr, "no input: give a CHM file or install chmcmd\n");
    return 2;
  }
  fs::create_directories(work);
  const std::string peer = peerCopy(path, work);
  std::uint64_t oursBytes = 0, peerBytes = 0;
  // Alternating runs, best of each: a busy machine then slows both sides alike.
  Times ours, theirs;
  for (int rep = 0; rep < 9; ++rep) {
    measure([&] { return unpackOurs(path); }, oursBytes, ours);
    measure([&] { return unpackPeer(peer); }, peerBytes, theirs);
  }
  std::printf("file            %s\n", path.c_str());
  std::printf("this reader     %.4f s elapsed  %.4f s processor  %llu bytes\n", ours.wall, ours.cpu,
              static_cast<unsigned long long>(oursBytes));
  std::printf("libmspack       %.4f s elapsed  %.4f s processor  %llu bytes\n", theirs.wall,
              theirs.cpu, static_cast<unsigned long long>(peerBytes));
  std::printf("ratio (this / libmspack) elapsed %.3f  processor %.3f\n", ours.wall / theirs.wall,
              ours.cpu / theirs.cpu);
  fs::remove_all(work);
  return oursBytes == 0 || peerBytes == 0 ? 1 : 0;
}
