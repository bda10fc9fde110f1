// Database decoding and loading. The first input byte picks the mode:
//   even: the rest is a whole stored file, decoded and loaded as a signature and a neural file;
//   odd:  the rest is a record count (4 bytes) and a plain body, wrapped in a valid container
//         first, so the record parsers are reached past the checksum.
// Whatever loads is then matched against file facts taken from the loaded descriptors (and a
// fixed one), and every answer must be the plain linear pass's, byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "engine/antivirus.h"
#include "engine/database.h"
#include "linear_match.h"

using namespace kyv::engine;

namespace {
// Inputs beyond this only slow the fuzzer down; the parsers' bounds do not depend on size.
constexpr std::size_t kMaxInput = 1 << 20;

// Descriptors to take file facts from: a few spread over the table, so that both main and daily
// copies of a record and the ends of the table are reached.
constexpr std::size_t kProbedDescriptors = 8;

void expectSameAnswer(TAntivirus& av, const TKYVFileInfo& info) {
  const kyv::test::LinearAnswer want = kyv::test::LinearMatch(av.Descriptors, info);
  TVirusDescr found;
  const std::int32_t got = av.CheckFileInfo(info, found);
  if (got != want.Result || av.FoundName != want.FoundName ||
      (got != 0 && found.Name != av.Descriptors[want.Number].Name))
    std::abort();
}

void load(const std::vector<std::byte>& stored) {
  TAntivirus av("base");
  try {
    av.LoadSignatureImage(stored, "main.kyv", true);
    av.LoadSignatureImage(stored, "daily.kyv", false);
    av.LoadNeuralImage(stored, "neural.kyv");
  } catch (const kyv::Error&) {
    // Out-of-range fields raise; the tables keep what loaded before.
  }
  expectSameAnswer(av, TKYVFileInfo{68, false, false, {0x257C6, 0, 0, 0}});
  const std::size_t n = av.Descriptors.size();
  for (std::size_t i = 0; i < kProbedDescriptors && i < n; ++i) {
    const TVirusDescr& d = av.Descriptors[i * n / kProbedDescriptors];
    TKYVFileInfo info{d.MinSize, false, false, d.Sums};
    expectSameAnswer(av, info);
    info.FileSize = d.MaxSize;
    info.Sums[i % 4] ^= 1; // one sum off: a partial match where the record allows one
    expectSameAnswer(av, info);
  }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > kMaxInput)
    return 0;
  const auto* bytes = reinterpret_cast<const std::byte*>(data);
  if ((data[0] & 1) == 0) {
    std::vector<std::byte> stored(bytes + 1, bytes + size);
    std::vector<std::byte> copy = stored;
    DecodeDatabaseImage(copy);
    load(stored);
    return 0;
  }
  if (size < 5)
    return 0;
  DatabaseFields fields;
  std::int32_t count = 0;
  std::memcpy(&count, data + 1, 4);
  fields.RecordCount = count;
  fields.Seed = data[0];
  load(EncodeDatabaseImage(fields, std::span(bytes + 5, size - 5)));
  return 0;
}
