// Inflates the same raw Deflate streams with our engine, zlib and libdeflate in one process and
// prints MB/s (of output, per second of processor time) and the ratios. Every decoder also computes
// the CRC-32 of its output, as ours always does, and every output is compared with the original
// before timing.
//
// Inputs: (a) text: every gzip'd file under /usr/share/doc, decompressed and concatenated;
// (b) binary: the first 32 MiB of a large shared library; (c) incompressible: 16 MiB of
// pseudo-random bytes. Each is compressed once with zlib at level 6.
//
//   inflate_bench [binary-file] [repetitions]
#include <algorithm>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <libdeflate.h>
#include <zlib.h>

#include "archive/inflate.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes readFile(const std::filesystem::path& path, std::size_t limit = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() > limit)
    b.resize(limit);
  return b;
}

Bytes gunzip(const Bytes& gz) {
  z_stream s{};
  Bytes out;
  if (inflateInit2(&s, 16 + 15) != Z_OK)
    return out;
  s.next_in = const_cast<unsigned char*>(gz.data());
  s.avail_in = static_cast<uInt>(gz.size());
  unsigned char buf[65536];
  int rc;
  do {
    s.next_out = buf;
    s.avail_out = sizeof buf;
    rc = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
  } while (rc == Z_OK);
  inflateEnd(&s);
  return out;
}

Bytes docText() {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(
           "/usr/share/doc", std::filesystem::directory_options::skip_permission_denied))
    if (e.is_regular_file() && e.path().extension() == ".gz")
      files.push_back(e.path());
  std::sort(files.begin(), files.end());
  Bytes all;
  for (const auto& f : files) {
    const Bytes t = gunzip(readFile(f));
    all.insert(all.end(), t.begin(), t.end());
  }
  return all;
}

Bytes deflateRaw(const Bytes& data) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, data.size()));
  s.next_in = const_cast<unsigned char*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// Writes into a buffer sized in advance, as the peers do.
class BufferSink final : public kyv::ByteSink {
public:
  explicit BufferSink(Bytes& buffer) : buffer_(buffer) {}
  bool write(std::span<const std::byte> data) override {
    if (data.size() > buffer_.size() - used_)
      return false;
    std::memcpy(buffer_.data() + used_, data.data(), data.size());
    used_ += data.size();
    return true;
  }
  std::size_t used() const { return used_; }

private:
  Bytes& buffer_;
  std::size_t used_ = 0;
};

std::uint32_t runOurs(const Bytes& in, Bytes& out) {
  kyv::MemorySource src(std::as_bytes(std::span(in)));
  BufferSink sink(out);
  return kyv::archive::Inflate(src, sink, nullptr);
}

std::uint32_t runZlib(const Bytes& in, Bytes& out) {
  z_stream s{};
  inflateInit2(&s, -15);
  s.next_in = const_cast<unsigned char*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  inflate(&s, Z_FINISH);
  const auto n = s.total_out;
  inflateEnd(&s);
  return static_cast<std::uint32_t>(crc32(0, out.data(), static_cast<uInt>(n)));
}

std::uint32_t runLibdeflate(libdeflate_decompressor* d, const Bytes& in, Bytes& out) {
  std::size_t n = 0;
  libdeflate_deflate_decompress(d, in.data(), in.size(), out.data(), out.size(), &n);
  return libdeflate_crc32(0, out.data(), n);
}

// Processor time of this process rather than wall time: the machines these run on are shared,
// and another process's work must not count against whichever decoder happened to be running.
double seconds(const std::function<void()>& f) {
  const std::clock_t t0 = std::clock();
  f();
  return static_cast<double>(std::clock() - t0) / CLOCKS_PER_SEC;
}

bool bench(const char* name, const Bytes& data, int reps, libdeflate_decompressor* ld) {
  const Bytes packed = deflateRaw(data);
  const std::uint32_t want =
      static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
  Bytes out(data.size());
  bool ok = true;
  const auto check = [&](const char* who, std::uint32_t crc) {
    if (crc != want || out != data) {
      std::printf("%s: %s produced wrong output\n", name, who);
      ok = false;
    }
    std::fill(out.begin(), out.end(), 0);
  };
  check("ours", runOurs(packed, out));
  check("zlib", runZlib(packed, out));
  check("libdeflate", runLibdeflate(ld, packed, out));
  if (!ok)
    return false;
  const double mb = static_cast<double>(data.size()) / 1e6;
  // The three take turns, so that a machine whose speed drifts slows all of them alike; the
  // best time of each counts.
  double tOurs = 1e30, tZlib = 1e30, tLd = 1e30;
  for (int i = 0; i < reps; ++i) {
    tOurs = std::min(tOurs, seconds([&] { runOurs(packed, out); }));
    tZlib = std::min(tZlib, seconds([&] { runZlib(packed, out); }));
    tLd = std::min(tLd, seconds([&] { runLibdeflate(ld, packed, out); }));
  }
  const double ours = mb / tOurs, zl = mb / tZlib, ldf = mb / tLd;
  std::printf("%-15s %7.1f MB -> %7.1f MB  ours %7.1f MB/s  zlib %7.1f MB/s  libdeflate %7.1f MB/s"
              "  ours/zlib %.2f  ours/libdeflate %.2f\n",
              name, mb, static_cast<double>(packed.size()) / 1e6, ours, zl, ldf, ours / zl,
              ours / ldf);
  return true;
}

} // namespace

int main(int argc, char** argv) {
  const std::string binaryPath = argc > 1 ? argv[1] : "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1";
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();

  const Bytes text = docText();
  const Bytes binary = readFile(binaryPath, 32u << 20);
  Bytes noise(16u << 20);
  std::mt19937_64 rng(12345);
  for (std::size_t i = 0; i < noise.size(); i += 8) {
    const std::uint64_t v = rng();
    std::memcpy(noise.data() + i, &v, 8);
  }

  bool ok = true;
  if (text.empty() || binary.empty()) {
    std::printf("missing input (text %zu bytes, binary %zu bytes)\n", text.size(), binary.size());
    ok = false;
  }
  ok = ok && bench("text", text, reps, ld);
  ok = ok && bench("binary", binary, reps, ld);
  ok = ok && bench("incompressible", noise, reps, ld);
  libdeflate_free_decompressor(ld);
  return ok ? 0 : 1;
}
