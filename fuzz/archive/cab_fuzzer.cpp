// Loads the input as a cabinet through the cabinet interface (the stand-in over libmspack on
// POSIX) and extracts every member into a file, as the unpacking kernel would. The interface
// reads files by name, so the input goes to a file in the temporary folder first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>

#include "archive/cab_reader.h"
#include "platform/file.h"
#include "platform/system.h"

namespace {
std::string scratch(const char* what) {
  std::string folder = kyv::platform::tempFolder();
  if (!folder.empty() && folder.back() != kyv::platform::pathSeparator())
    folder += kyv::platform::pathSeparator();
  return folder + "kyv_cabfuzz_" + std::to_string(kyv::platform::processId()) + what;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A cabinet's data blocks expand up to 32 KiB each; small inputs keep the output small too.
  if (size > (64u << 10))
    return 0;
  using namespace kyv::archive;
  static const std::string input = scratch(".cab");
  static const std::string output = scratch(".out");
  {
    auto file = kyv::platform::File::create(input);
    if (!file || !file->write(std::span(reinterpret_cast<const std::byte*>(data), size)))
      return 0;
  }
  {
    TAbCabArchive archive(input);
    try {
      archive.LoadDirectory();
    } catch (const EAbException&) {
      kyv::platform::deleteFile(input);
      return 0;
    }
    // A budget, as the unpacking kernel sets one: writes past it are refused mid-copy.
    std::uint64_t left = 1u << 20;
    archive.WriteGate = [&left](std::size_t bytes) {
      if (bytes > left)
        return false;
      left -= bytes;
      return true;
    };
    const int count = archive.MemberCount() < 64 ? archive.MemberCount() : 64;
    for (int i = 0; i < count; ++i) {
      if (archive.MemberAt(i)->UncompressedSize > (16u << 20))
        continue;
      archive.ExtractMemberAt(i, output);
      kyv::platform::deleteFile(output);
    }
  }
  kyv::platform::deleteFile(input);
  return 0;
}
