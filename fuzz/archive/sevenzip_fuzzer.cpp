// Lists the input as a 7z archive and walks every member as the unpacking kernel does (one
// pass, members in folder order, each into a sink with a budget, skipped bytes counted), then
// takes a few members alone by index.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <span>

#include "archive/sevenzip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > (1u << 20))
    return 0;
  using namespace kyv::archive;
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  TAb7zArchive archive(std::make_unique<kyv::MemorySource>(bytes), "fuzz.7z");
  try {
    archive.LoadDirectory();
  } catch (const std::exception&) {
    return 0;
  }
  // A budget like the kernel's keeps a small input that expands without end from running long.
  std::uint64_t budget = std::uint64_t{64} << 20;
  archive.SkipGate = [&budget](std::uint64_t n) {
    if (n > budget)
      return false;
    budget -= n;
    return true;
  };
  std::map<int, kyv::VectorSink> sinks;
  archive.ExtractMembers(
      [&](int i) -> kyv::ByteSink* {
        return sinks.size() < 256 ? &sinks.try_emplace(i, 1u << 22).first->second : nullptr;
      },
      [&](int, const T7zOutcome&) { return budget > 0; });
  const int count = archive.MemberCount() < 8 ? archive.MemberCount() : 8;
  for (int i = 0; i < count; ++i) {
    kyv::VectorSink sink(1u << 22);
    archive.ExtractMemberToStreamAt(i, sink); // failures go to the (unset) hook, never out
  }
  return 0;
}
