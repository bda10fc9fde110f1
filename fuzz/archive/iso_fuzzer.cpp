// Lists the input as an ISO 9660 image and extracts every member into a sink with a budget, as
// the unpacking kernel would; also runs the recognition probes on its volume area.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "archive/disk_image.h"
#include "archive/iso_reader.h"
#include "archive_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kyv::fuzz::kMaxImageInput)
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  {
    kyv::MemorySource probe(bytes);
    const auto area = readVolumeArea(probe);
    (void)probeIsoVolume(area);
    (void)probeUdfVolume(area);
  }
  TAbIsoArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.iso");
  kyv::fuzz::listAndExtract(archive);
  return 0;
}
