// What ISO 9660 and UDF images share: a volume recognition area of 2048-byte descriptors from
// 32 KiB on (the first 32 KiB belong to the system that boots from the disc), each with a type
// byte, a five-letter identifier and a version; and members that are runs of whole sectors,
// read where they lie in the image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "archive/ab_archive.h"
#include "base/byte_io.h"

namespace kyv::archive {

inline constexpr std::uint64_t kVolumeAreaOffset = 32768;
inline constexpr std::size_t kVolumeDescriptorSize = 2048;
// Enough for the ISO descriptors a producer writes (primary, boot record, a few supplementary
// ones, terminator) and the UDF sequence that follows them in a hybrid image.
inline constexpr std::size_t kVolumeAreaBytes = 16 * kVolumeDescriptorSize;

// The five letters of the descriptor at the start of sector, or empty when they are none of the
// identifiers the two formats define.
std::string_view volumeDescriptorId(std::span<const std::byte> sector);
// The area (from 32 KiB) starts with an ISO 9660 volume descriptor.
bool probeIsoVolume(std::span<const std::byte> area);
// The area holds an extended area ("BEA01") with a UDF descriptor ("NSR02", "NSR03") inside it,
// after any ISO descriptors; sectors of 2048 or 4096 bytes.
bool probeUdfVolume(std::span<const std::byte> area);

// One run of a member: length bytes at offset, or length zero bytes that the image does not store.
struct ImageExtent {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  bool zeros = false;
};
using ImageExtents = std::vector<ImageExtent>;

class TAbImageItem : public TAbArchiveItem {
public:
  ImageExtents Extents;
  // Bytes kept in the file's own descriptor (a small UDF file) instead of in runs.
  std::vector<std::byte> Embedded;
  bool IsEmbedded = false;
};

// Writes a member's bytes into sink. A run that leaves the image is written as far as the image
// goes, and then the member fails with an error that says so.
void writeImageItem(ByteSource& image, const TAbImageItem& item, ByteSink& sink);

// The base of the ISO 9660 and UDF readers: their members are TAbImageItems, read where they
// lie, and a listing may stop short of the whole image, keeping the first reason why.
class TAbImageArchive : public TAbArchive {
public:
  using TAbArchive::TAbArchive;

  // Listing stops after this many members: twice what the unpacking kernel takes from one
  // scanned file, so the cap never hides a member the kernel would reach.
  static constexpr int kMaxMembers = 200000;

  // Why the listing is not the whole image (a cap reached, a directory that could not be read),
  // or empty.
  const std::string& Incomplete() const { return incomplete_; }

protected:
  void ExtractItemToStreamAt(int index, ByteSink& stream) final;
  void ClearIncomplete() { incomplete_.clear(); }
  void NoteIncomplete(const std::string& why) {
    if (incomplete_.empty())
      incomplete_ = why;
  }

private:
  std::string incomplete_;
};

// Where a member's bytes lie, adjacent runs joined: two trees of one image (ISO and Joliet, ISO
// and UDF) that list the same bytes give the same key, so each file is delivered once.
using ExtentKey = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
ExtentKey extentKey(const TAbImageItem& item);

// A name component as a path keeps it: separators and the names of the folder itself and its
// parent cannot come from the image.
std::string safeComponent(std::string name);

} // namespace kyv::archive

namespace kyv::archive {
// The volume recognition area of an image (up to kVolumeAreaBytes from 32 KiB); shorter or empty
// when the image is.
std::vector<std::byte> readVolumeArea(ByteSource& image);
} // namespace kyv::archive
