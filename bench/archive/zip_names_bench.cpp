// Scans two ZIP archives of 100,000 one-byte members each through the unpacking kernel, as the
// scanner walks them: in one, every name falls into the same bucket of the member list's name
// hash (names an attacker can choose: the hash is fixed and public); in the other the names are
// spread. Members are taken by their place in the directory, never looked up by name, so the
// two cost the same. Prints the best of three runs of each and the ratio colliding / spread.
//   zip_names_bench [member-count]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/ab_archive.h"
#include "unpack/decompress.h"
#include "zip_builder.h"

namespace {

namespace fs = std::filesystem;
using kyv::archive::TAbArchiveList;

std::size_t bucketOf(const std::string& name) {
  return TAbArchiveList::ElfHash(name) % TAbArchiveList::kBuckets;
}

// Upper-case letters, digits and two marks: names the hash reads as they are written.
constexpr std::string_view kTail = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_-";

// "m" + six hex digits + two tail characters, chosen so that the name lands in bucket 0 when
// collide is set; the first pair otherwise. Two characters cover every bucket for nearly every
// prefix; a prefix without a hit is passed over.
std::vector<std::string> namesFor(std::size_t count, bool collide) {
  std::vector<std::string> names;
  char prefix[16];
  for (unsigned i = 0; names.size() < count; ++i) {
    std::snprintf(prefix, sizeof prefix, "m%06X", i);
    bool found = false;
    for (const char a : kTail) {
      for (const char b : kTail) {
        const std::string name = std::string(prefix) + a + b + ".txt";
        if (!collide || bucketOf(name) == 0) {
          names.push_back(name);
          found = true;
          break;
        }
      }
      if (found)
        break;
    }
  }
  return names;
}

fs::path writeZip(const fs::path& dir, const char* file, const std::vector<std::string>& names) {
  std::vector<kyv::test::ZipMember> members;
  members.reserve(names.size());
  for (const std::string& name : names)
    members.push_back({name, {std::byte{'x'}}});
  const auto bytes = kyv::test::buildStoredZip(members);
  const fs::path path = dir / file;
  FILE* out = std::fopen(path.c_str(), "wb");
  if (!out || std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
    std::exit(2);
  std::fclose(out);
  return path;
}

// Milliseconds of the best of three scans; members counts what the last one delivered.
double scanMs(const fs::path& zip, const fs::path& temp, std::size_t& members) {
  std::vector<std::byte> head(4097);
  if (FILE* in = std::fopen(zip.c_str(), "rb")) {
    (void)std::fread(head.data(), 1, 4096, in);
    std::fclose(in);
  }
  double best = 0;
  for (int run = 0; run < 3; ++run) {
    kyv::unpack::TKYVDecompress unpacker("unused");
    unpacker.SetTempFolder(temp.string() + "/");
    members = 0;
    unpacker.SetOnItem([&members](const kyv::unpack::TKYVArcInfoArray&) {
      ++members;
      return true;
    });
    kyv::unpack::FileHead fh;
    fh.HeadBuf = head;
    const auto start = std::chrono::steady_clock::now();
    unpacker.Unpack(zip.string(), fh, {});
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (run == 0 || took.count() < best)
      best = took.count();
  }
  return best;
}

} // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 100000;
  char pattern[] = "/tmp/kyv_zip_names_XXXXXX";
  if (!mkdtemp(pattern))
    return 2;
  const fs::path dir = pattern;
  const auto colliding = namesFor(count, true);
  const auto spread = namesFor(count, false);
  std::size_t buckets = 0;
  {
    std::vector<bool> used(TAbArchiveList::kBuckets);
    for (const auto& n : spread)
      used[bucketOf(n)] = true;
    for (const bool u : used)
      buckets += u;
  }
  const fs::path a = writeZip(dir, "colliding.zip", colliding);
  const fs::path b = writeZip(dir, "spread.zip", spread);
  std::size_t deliveredA = 0;
  std::size_t deliveredB = 0;
  const double msA = scanMs(a, dir, deliveredA);
  const double msB = scanMs(b, dir, deliveredB);
  std::printf("colliding: %zu names in 1 bucket, %zu delivered, %.0f ms\n", colliding.size(),
              deliveredA, msA);
  std::printf("spread:    %zu names in %zu buckets, %zu delivered, %.0f ms\n", spread.size(),
              buckets, deliveredB, msB);
  std::printf("ratio colliding/spread: %.2f\n", msA / msB);
  fs::remove_all(dir);
  return deliveredA == count && deliveredB == count ? 0 : 1;
}
