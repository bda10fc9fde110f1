// Decodes the same bzip2 streams with our decoder and with libbz2 in one process and prints MB/s
// (of output, per second of processor time) and the ratio. Both check every block's CRC; every
// output is compared with the original before timing.
//
// Inputs: (a) text: every gzip'd file under /usr/share/doc, decompressed and concatenated;
// at most 32 MiB; (b) binary: the first 32 MiB of a large shared library. Each is compressed once
// by libbz2 at level 9 (and at level 1, the smallest blocks).
//
//   bzip2_bench [binary-file] [repetitions]
#include <algorithm>
#include <bzlib.h>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codec/bzip2.h"
#include "doc_text.h"

namespace {

using Bytes = std::vector<char>;

constexpr std::size_t kTextSize = 32u << 20;

Bytes compress(const Bytes& data, int level) {
  Bytes out(data.size() + data.size() / 100 + 600);
  auto n = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(data.data()),
                               static_cast<unsigned>(data.size()), level, 0, 0) != BZ_OK)
    return {};
  out.resize(n);
  return out;
}

std::size_t runOurs(const Bytes& in, Bytes& out) {
  kyv::codec::Bzip2Decoder d(std::as_bytes(std::span(in)));
  std::size_t n = 0;
  const auto s = d.read(std::as_writable_bytes(std::span(out)), n);
  return s == kyv::codec::Bzip2Status::StreamEnd || s == kyv::codec::Bzip2Status::Ok ? n : 0;
}

std::size_t runLibbz2(const Bytes& in, Bytes& out) {
  auto n = static_cast<unsigned>(out.size());
  if (BZ2_bzBuffToBuffDecompress(out.data(), &n, const_cast<char*>(in.data()),
                                 static_cast<unsigned>(in.size()), 0, 0) != BZ_OK)
    return 0;
  return n;
}

bool bench(const char* name, const Bytes& data, int level, int reps) {
  const Bytes packed = compress(data, level);
  Bytes out(data.size());
  bool ok = !packed.empty();
  const auto check = [&](const char* who, std::size_t n) {
    if (n != data.size() || out != data) {
      std::printf("%s: %s produced wrong output\n", name, who);
      ok = false;
    }
    std::fill(out.begin(), out.end(), 0);
  };
  check("ours", runOurs(packed, out));
  check("libbz2", runLibbz2(packed, out));
  if (!ok)
    return false;
  const double mb = static_cast<double>(data.size()) / 1e6;
  // The two take turns, so that a machine whose speed drifts slows both alike; the best counts.
  double tOurs = 1e30, tPeer = 1e30;
  for (int i = 0; i < reps; ++i) {
    tOurs = std::min(tOurs, kyv::bench::processorSeconds([&] { runOurs(packed, out); }));
    tPeer = std::min(tPeer, kyv::bench::processorSeconds([&] { runLibbz2(packed, out); }));
  }
  std::printf(
      "%-8s -%d %7.1f MB -> %6.1f MB  ours %6.1f MB/s  libbz2 %6.1f MB/s  ours/libbz2 %.2f\n", name,
      level, mb, static_cast<double>(packed.size()) / 1e6, mb / tOurs, mb / tPeer, tPeer / tOurs);
  return true;
}

} // namespace

int main(int argc, char** argv) {
  const std::string binaryPath = argc > 1 ? argv[1] : "/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1";
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const Bytes text = kyv::bench::docText(kTextSize);
  const Bytes binary = kyv::bench::readFile<char>(binaryPath, 32u << 20);
  if (text.empty() || binary.empty()) {
    std::printf("missing input (text %zu bytes, binary %zu bytes)\n", text.size(), binary.size());
    return 1;
  }
  bool ok = bench("text", text, 9, reps);
  ok = bench("text", text, 1, reps) && ok;
  ok = bench("binary", binary, 9, reps) && ok;
  return ok ? 0 : 1;
}
