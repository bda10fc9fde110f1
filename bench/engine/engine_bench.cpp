// The signature engine's costs in one process:
//  1. matching: 10,000 files against 1,000,000 descriptors through the index, beside the same
//     files against a one-descriptor table and the floor of any linear pass (the size test
//     alone over a packed array of ranges); also the index's build time and size;
//     then the same comparison for real files on disk, sampled and matched as a scan does;
//  2. loading: decoding and loading a database of those descriptors, beside zlib inflating the
//     same Deflate stream (the part of the work a peer library can do);
//  3. building: our producer-side deflate beside zlib's level 6 on the same body, time and size.
//
//   engine_bench [files] [descriptors]
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/deflate_encoder.h"
#include "engine/antivirus.h"
#include "engine/database.h"
#include "engine/file_scanner.h"
#include "engine/signatures.h"

using namespace kyv::engine;
namespace {

// Processor time of this process: the machine is shared, and time spent waiting for a core is
// not the engine's.
struct Clock {
  using time_point = std::clock_t;
  static time_point now() { return std::clock(); }
};

double seconds(Clock::time_point a, Clock::time_point b) { return double(b - a) / CLOCKS_PER_SEC; }

std::vector<TVirusDescr> makeDescriptors(std::size_t n, std::mt19937& rng) {
  std::vector<TVirusDescr> table(n);
  for (std::size_t k = 0; k < n; ++k) {
    TVirusDescr& d = table[k];
    d.Name = "Trojan.Generic." + std::to_string(k / 4);
    // Sizes spread like real samples: mostly small programs, a tail up to 16 MiB.
    const std::int32_t size =
        static_cast<std::int32_t>(1000 + rng() % (k % 10 == 0 ? 16000000 : 400000));
    d.MinSize = size;
    d.MaxSize = size + static_cast<std::int32_t>(rng() % 64);
    const unsigned sums = 1 + rng() % 4;
    for (unsigned j = 0; j < sums; ++j)
      d.Sums[j] = rng() | 1;
  }
  return table;
}

std::vector<TKYVFileInfo> makeFiles(std::size_t n, const std::vector<TVirusDescr>& table,
                                    std::mt19937& rng) {
  std::vector<TKYVFileInfo> files(n);
  for (std::size_t k = 0; k < n; ++k) {
    TKYVFileInfo& f = files[k];
    if (k % 1000 == 0) { // a few infected files, matched exactly
      const TVirusDescr& d = table[rng() % table.size()];
      f.FileSize = d.MinSize;
      f.Sums = d.Sums;
      continue;
    }
    f.FileSize = static_cast<std::int32_t>(rng() % 2000000);
    for (auto& s : f.Sums)
      s = rng();
  }
  return files;
}

// Best of a few rounds, the two tables alternating, so that load from elsewhere on the machine
// hits both alike.
constexpr int kRounds = 5;

double timeMatching(TAntivirus& av, const std::vector<TKYVFileInfo>& files, std::size_t& hits) {
  TVirusDescr found;
  hits = 0;
  const auto t0 = Clock::now();
  for (const TKYVFileInfo& f : files)
    hits += av.CheckFileInfo(f, found) != 0;
  return seconds(t0, Clock::now());
}

// The floor of any pass over the whole table, the former matcher included: the size test
// alone over a packed array of ranges, with no sums and no names in the way.
double timeLinearFloor(const std::vector<std::int32_t>& ranges,
                       const std::vector<TKYVFileInfo>& files, std::size_t& inRange) {
  inRange = 0;
  const auto t0 = Clock::now();
  for (const TKYVFileInfo& f : files)
    for (std::size_t k = 0; k < ranges.size(); k += 2)
      inRange += ranges[k] <= f.FileSize && f.FileSize <= ranges[k + 1];
  return seconds(t0, Clock::now());
}

void benchMatching(std::size_t fileCount, std::size_t descrCount) {
  std::mt19937 rng(42);
  TAntivirus big("base");
  big.Descriptors = makeDescriptors(descrCount, rng);
  // A fresh set of files per round: the same files again would find their buckets in the
  // cache, which real files do not.
  std::vector<std::vector<TKYVFileInfo>> rounds;
  for (int round = 0; round < kRounds; ++round)
    rounds.push_back(makeFiles(fileCount, big.Descriptors, rng));
  const auto i0 = Clock::now();
  big.ReindexDescriptors();
  const auto i1 = Clock::now();
  TAntivirus one("base");
  one.Descriptors = {big.Descriptors.front()};
  one.ReindexDescriptors();
  // A table a tenth the size, whose index still fits a large cache: where the cost levels off.
  TAntivirus tenth("base");
  tenth.Descriptors.assign(big.Descriptors.begin(), big.Descriptors.begin() + descrCount / 10);
  tenth.ReindexDescriptors();
  std::printf("index: %zu descriptors indexed in %.1f ms, %zu bytes (%.1f bytes per descriptor)\n",
              descrCount, seconds(i0, i1) * 1e3, big.IndexBytes(),
              double(big.IndexBytes()) / double(descrCount));

  double bigTime = 1e9, oneTime = 1e9, tenthTime = 1e9;
  std::size_t bigHits = 0, oneHits = 0, tenthHits = 0;
  for (const std::vector<TKYVFileInfo>& files : rounds) {
    bigTime = std::min(bigTime, timeMatching(big, files, bigHits));
    oneTime = std::min(oneTime, timeMatching(one, files, oneHits));
    tenthTime = std::min(tenthTime, timeMatching(tenth, files, tenthHits));
  }
  const double bigPerFile = bigTime / double(fileCount);
  const double onePerFile = oneTime / double(fileCount);
  std::printf(
      "matching: %zu files against %zu descriptors: %.0f files/s (%.0f ns per file), %zu found\n",
      fileCount, descrCount, 1 / bigPerFile, bigPerFile * 1e9, bigHits);
  std::printf("  same files against one descriptor: %.0f files/s (%.0f ns per file), %zu found;"
              " %zu/1 time ratio %.2f\n",
              1 / onePerFile, onePerFile * 1e9, oneHits, descrCount, bigPerFile / onePerFile);
  std::printf(
      "  same files against %zu descriptors: %.0f ns per file; time ratio to one descriptor %.2f\n",
      tenth.Descriptors.size(), tenthTime / double(fileCount) * 1e9, tenthTime / oneTime);

  std::vector<std::int32_t> ranges;
  ranges.reserve(2 * descrCount);
  for (const TVirusDescr& d : big.Descriptors) {
    ranges.push_back(d.MinSize);
    ranges.push_back(d.MaxSize);
  }
  // The linear pass takes seconds per thousand files; a slice of the same files is enough.
  const std::vector<TKYVFileInfo> slice(rounds[0].begin(),
                                        rounds[0].begin() + std::min<std::size_t>(fileCount, 300));
  double floorTime = 1e9;
  std::size_t inRange = 0;
  for (int round = 0; round < kRounds; ++round)
    floorTime = std::min(floorTime, timeLinearFloor(ranges, slice, inRange));
  const double floorPerFile = floorTime / double(slice.size());
  std::printf(
      "  linear floor (size test over packed ranges, %zu files, %zu in range): %.0f files/s;"
      " linear/indexed time ratio %.0f\n",
      slice.size(), inRange, 1 / floorPerFile, floorPerFile / bigPerFile);
}

// A scan's whole per-file cost: sampling the file (open, four small reads, close) and matching
// its facts. The files sit in the page cache after the first round, so this is the engine's
// work, not the disk's. Ten files in a thousand are copies of a descriptor's sample, sized to
// match; the rest are random.
double timeFiles(TAntivirus& av, const std::vector<std::string>& paths, std::size_t& hits) {
  TVirusDescr found;
  hits = 0;
  const auto t0 = Clock::now();
  for (const std::string& path : paths) {
    TFileScanner scanner;
    if (!scanner.OpenFile(path))
      std::abort();
    hits += av.CheckFileInfo(scanner.FileInfo, found) != 0;
  }
  return seconds(t0, Clock::now());
}

void benchFiles(std::size_t fileCount, std::size_t descrCount) {
  namespace fs = std::filesystem;
  std::mt19937 rng(11);
  const fs::path folder = fs::temp_directory_path() / ("engine_bench_" + std::to_string(rng()));
  fs::create_directories(folder);
  std::vector<std::string> paths;
  std::vector<char> bytes;
  for (std::size_t k = 0; k < fileCount; ++k) {
    bytes.resize(1000 + rng() % 30000);
    for (char& c : bytes)
      c = static_cast<char>(rng());
    paths.push_back((folder / ("f" + std::to_string(k))).string());
    std::ofstream(paths.back(), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  TAntivirus big("base");
  big.Descriptors = makeDescriptors(descrCount, rng);
  // Some descriptors describe files of the folder, so the big table finds them.
  for (std::size_t k = 0; k < fileCount; k += 1000) {
    TFileScanner scanner;
    if (!scanner.OpenFile(paths[k]))
      std::abort();
    TVirusDescr& d = big.Descriptors[rng() % descrCount];
    d.MinSize = d.MaxSize = scanner.FileInfo.FileSize;
    d.Sums = scanner.FileInfo.Sums;
  }
  big.ReindexDescriptors();
  TAntivirus one("base");
  one.Descriptors = {big.Descriptors.front()};
  one.ReindexDescriptors();
  double bigTime = 1e9, oneTime = 1e9;
  std::size_t bigHits = 0, oneHits = 0;
  for (int round = 0; round < kRounds; ++round) {
    bigTime = std::min(bigTime, timeFiles(big, paths, bigHits));
    oneTime = std::min(oneTime, timeFiles(one, paths, oneHits));
  }
  fs::remove_all(folder);
  std::printf("files: %zu files on disk sampled and matched against %zu descriptors: %.0f files/s"
              " (%.2f us per file), %zu found\n",
              fileCount, descrCount, fileCount / bigTime, bigTime / double(fileCount) * 1e6,
              bigHits);
  std::printf("  same files against one descriptor: %.0f files/s (%.2f us per file), %zu found;"
              " %zu/1 time ratio %.2f\n",
              fileCount / oneTime, oneTime / double(fileCount) * 1e6, oneHits, descrCount,
              bigTime / oneTime);
}

std::vector<std::byte> zlibRawDeflate(const std::vector<std::byte>& in, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::vector<std::byte> out(deflateBound(&s, static_cast<uLong>(in.size())));
  s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

void benchLoading(std::size_t descrCount) {
  std::mt19937 rng(7);
  const std::vector<TVirusDescr> table = makeDescriptors(descrCount, rng);
  std::vector<std::byte> body;
  std::string previous;
  for (const TVirusDescr& d : table)
    WriteDescriptor(body, d, previous);

  const auto b0 = Clock::now();
  const std::vector<std::byte> ourPacked = kyv::archive::DeflateRaw(body);
  const auto b1 = Clock::now();
  const std::vector<std::byte> zPacked = zlibRawDeflate(body, 6);
  const auto b2 = Clock::now();
  std::printf("building: body %zu bytes; our deflate %.1f MB/s -> %zu bytes, zlib -6 %.1f MB/s -> "
              "%zu bytes;"
              " time ratio %.2f, size ratio %.3f\n",
              body.size(), body.size() / 1e6 / seconds(b0, b1), ourPacked.size(),
              body.size() / 1e6 / seconds(b1, b2), zPacked.size(),
              seconds(b0, b1) / seconds(b1, b2), double(ourPacked.size()) / double(zPacked.size()));

  DatabaseFields fields;
  fields.RecordCount = static_cast<std::int32_t>(descrCount);
  const std::vector<std::byte> stored = EncodeDatabaseImage(fields, body);

  const auto t0 = Clock::now();
  std::vector<std::byte> image = stored;
  if (!DecodeDatabaseImage(image))
    std::abort();
  const auto t1 = Clock::now();
  TAntivirus av("base");
  if (!av.LoadSignatureImage(stored, "main.kyv", true) || av.Descriptors.size() != descrCount)
    std::abort();
  const auto t2 = Clock::now();
  av.ReindexDescriptors();
  const auto t3 = Clock::now();

  // zlib on the same stream: descrambled already, so only the inflate is compared.
  std::vector<std::byte> plain(body.size());
  const auto z0 = Clock::now();
  z_stream s{};
  inflateInit2(&s, -15);
  const std::vector<std::byte> stream = kyv::archive::DeflateRaw(body);
  s.next_in = reinterpret_cast<Bytef*>(const_cast<std::byte*>(stream.data()));
  s.avail_in = static_cast<uInt>(stream.size());
  s.next_out = reinterpret_cast<Bytef*>(plain.data());
  s.avail_out = static_cast<uInt>(plain.size());
  const auto z1 = Clock::now();
  if (inflate(&s, Z_FINISH) != Z_STREAM_END || plain != body)
    std::abort();
  const auto z2 = Clock::now();
  inflateEnd(&s);
  (void)z0;
  std::printf("loading: %zu descriptors, stored file %zu bytes: decode (checksum, descramble, "
              "inflate) %.1f ms,"
              " decode+load+index %.1f ms (index alone %.1f ms); zlib inflate alone %.1f ms;"
              " decode/zlib time ratio %.2f\n",
              descrCount, stored.size(), seconds(t0, t1) * 1e3, seconds(t1, t2) * 1e3,
              seconds(t2, t3) * 1e3, seconds(z1, z2) * 1e3, seconds(t0, t1) / seconds(z1, z2));
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t files = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
  const std::size_t descriptors = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000000;
  benchLoading(descriptors);
  benchMatching(files, descriptors);
  benchFiles(files, descriptors);
  return 0;
}
