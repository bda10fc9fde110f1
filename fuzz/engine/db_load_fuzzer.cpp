// Database decoding and loading. The first input byte picks the mode:
//   even: the rest is a whole stored file, decoded and loaded as a signature and a neural file;
//   odd:  the rest is a record count (4 bytes) and a plain body, wrapped in a valid container
//         first, so the record parsers are reached past the checksum.
// Whatever loads is then matched once, which walks every descriptor.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "engine/antivirus.h"
#include "engine/database.h"

using namespace kyv::engine;

namespace {
// Inputs beyond this only slow the fuzzer down; the parsers' bounds do not depend on size.
constexpr std::size_t kMaxInput = 1 << 20;

void load(const std::vector<std::byte>& stored) {
  TAntivirus av("base");
  try {
    av.LoadSignatureImage(stored, "main.kyv", true);
    av.LoadSignatureImage(stored, "daily.kyv", false);
    av.LoadNeuralImage(stored, "neural.kyv");
  } catch (const kyv::Error&) {
    // Out-of-range fields raise; the tables keep what loaded before.
  }
  TVirusDescr found;
  TKYVFileInfo info{68, false, false, {0x257C6, 0, 0, 0}};
  av.CheckFileInfo(info, found);
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
