// Extracts every member of the ZIP archives named on the command line into a counting sink, the
// way the unpacking kernel walks them, and prints the byte count. Timed as a whole command side
// by side with Info-ZIP's "unzip -p archive" (output to /dev/null).
#include <cstdio>
#include <exception>

#include "archive/zip_unzipper.h"

namespace {
// Counts what it is given; not the bit bucket, so the decoders run their normal write path.
class CountingSink final : public kyv::ByteSink {
public:
  bool write(std::span<const std::byte> data) override {
    count += data.size();
    return true;
  }
  std::uint64_t count = 0;
};
} // namespace

int main(int argc, char** argv) {
  using namespace kyv::archive;
  std::uint64_t total = 0;
  for (int a = 1; a < argc; ++a) {
    try {
      TAbUnZipper unzipper;
      unzipper.ForceType = true;
      unzipper.ArchiveType = TAbArchiveType::atZip;
      unzipper.OpenArchive(argv[a]);
      for (int i = 0; i < unzipper.MemberCount(); ++i) {
        CountingSink sink;
        unzipper.ExtractMemberToStreamAt(i, sink);
        total += sink.count;
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", argv[a], e.what());
      return 1;
    }
  }
  std::printf("%llu bytes\n", static_cast<unsigned long long>(total));
  return 0;
}
