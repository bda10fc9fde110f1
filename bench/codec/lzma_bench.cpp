// Decodes the same raw LZMA and LZMA2 streams with our decoder and liblzma in one process and
// prints MB/s of output per second of processor time, and the ratio (ours / liblzma; above 1 is
// faster). Every output is compared with the original before timing.
//
// Inputs: (a) text: every gzip'd file under /usr/share/doc, decompressed and concatenated (at
// most 24 MiB); (b) binary: the first 16 MiB of a large shared library (or the file given).
// Each is compressed once with liblzma, preset 6, as raw LZMA (with an end marker) and LZMA2.
//
//   lzma_bench [binary-file] [repetitions]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <lzma.h>

#include "base/byte_io.h"
#include "codec/bit_input.h"
#include "codec/lzma.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes readFile(const std::filesystem::path& path, std::size_t limit = SIZE_MAX) {
  std::ifstream in(path, std::ios::binary);
  Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() > limit)
    b.resize(limit);
  return b;
}

// Runs a raw liblzma coder over in; returns the output (empty on failure).
Bytes runRaw(bool encode, const lzma_filter* filters, const Bytes& in, std::size_t outHint) {
  lzma_stream s = LZMA_STREAM_INIT;
  if ((encode ? lzma_raw_encoder(&s, filters) : lzma_raw_decoder(&s, filters)) != LZMA_OK)
    return {};
  Bytes out(outHint + 1024);
  s.next_in = in.data();
  s.avail_in = in.size();
  lzma_ret rc;
  do {
    if (s.total_out == out.size())
      out.resize(out.size() * 2);
    s.next_out = out.data() + s.total_out;
    s.avail_out = out.size() - s.total_out;
    rc = lzma_code(&s, LZMA_FINISH);
  } while (rc == LZMA_OK);
  out.resize(s.total_out);
  lzma_end(&s);
  return rc == LZMA_STREAM_END ? out : Bytes{};
}

Bytes docText() {
  Bytes all;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/share/doc", ec);
       it != std::filesystem::recursive_directory_iterator() && all.size() < (24u << 20);
       it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->path().extension() == ".gz")
      continue;
    const Bytes b = readFile(it->path(), 1 << 20);
    all.insert(all.end(), b.begin(), b.end());
  }
  return all;
}

double cpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

double best(int reps, const std::function<void()>& fn) {
  double t = 1e30;
  for (int i = 0; i < reps; ++i) {
    const double a = cpuSeconds();
    fn();
    t = std::min(t, cpuSeconds() - a);
  }
  return t;
}

Bytes ours(bool lzma2, const lzma_options_lzma& o, const Bytes& stream, std::size_t size) {
  kyv::codec::LzmaDecoder d;
  kyv::codec::LzmaStatus s;
  if (lzma2) {
    s = d.startLzma2(o.dict_size);
  } else {
    kyv::codec::LzmaProperties p;
    p.lc = o.lc;
    p.lp = o.lp;
    p.pb = o.pb;
    p.dictionarySize = o.dict_size;
    s = d.startLzma(p, kyv::codec::kLzmaUnknownSize);
  }
  Bytes out(size);
  if (s != kyv::codec::LzmaStatus::Ok)
    return {};
  kyv::codec::InputBuffer in(std::as_bytes(std::span(stream)));
  std::size_t n = 0;
  s = d.read(in, std::as_writable_bytes(std::span(out)), n);
  out.resize(n);
  return s == kyv::codec::LzmaStatus::StreamEnd ? out : Bytes{};
}

void benchOne(const char* name, const Bytes& data, int reps) {
  for (const bool lzma2 : {false, true}) {
    lzma_options_lzma o;
    lzma_lzma_preset(&o, 6);
    const lzma_filter filters[] = {{lzma2 ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, &o},
                                   {LZMA_VLI_UNKNOWN, nullptr}};
    const Bytes stream = runRaw(true, filters, data, data.size());
    if (ours(lzma2, o, stream, data.size() + 1) != data ||
        runRaw(false, filters, stream, data.size()) != data) {
      std::printf("%s %s: output differs from the original\n", name, lzma2 ? "LZMA2" : "LZMA");
      continue;
    }
    const double tOurs = best(reps, [&] { (void)ours(lzma2, o, stream, data.size() + 1); });
    const double tPeer = best(reps, [&] { (void)runRaw(false, filters, stream, data.size()); });
    const double mb = static_cast<double>(data.size()) / 1e6;
    std::printf("%-7s %-5s %6.1f MB in %6.1f MB: ours %7.1f MB/s, liblzma %7.1f MB/s, ratio %.2f\n",
                name, lzma2 ? "LZMA2" : "LZMA", mb, static_cast<double>(stream.size()) / 1e6,
                mb / tOurs, mb / tPeer, tPeer / tOurs);
  }
}

} // namespace

int main(int argc, char** argv) {
  std::filesystem::path binary = argc > 1 ? argv[1] : "";
  const int reps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  if (binary.empty())
    for (const char* candidate : {"/usr/lib/x86_64-linux-gnu/libLLVM-14.so.1", "/usr/bin/clang-14",
                                  "/usr/lib/x86_64-linux-gnu/libstdc++.so.6"})
      if (std::filesystem::exists(candidate)) {
        binary = candidate;
        break;
      }
  benchOne("text", docText(), reps);
  benchOne("binary", readFile(binary, 16u << 20), reps);
  return 0;
}
