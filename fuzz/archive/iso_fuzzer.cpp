// Lists the input as an ISO 9660 image and extracts every member into a sink with a budget, as
// the unpacking kernel would; also runs the recognition probes on its volume area.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>

#include "archive/disk_image.h"
#include "archive/iso_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Images need their 32 KiB system area, so inputs are a little larger than for other formats.
  if (size > (1u << 21))
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
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return 0;
  }
  // Member failures never leave the extraction; anything thrown here is a defect.
  const int count = archive.MemberCount() < 64 ? archive.MemberCount() : 64;
  for (int i = 0; i < count; ++i) {
    kyv::VectorSink sink(1u << 22);
    archive.ExtractMemberToStreamAt(i, sink);
  }
  return 0;
}
