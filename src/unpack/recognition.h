// Which container types a file's head announces. Every test is made and every type that matches
// is unpacked, in this order; a match does not end the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unpack/extractors.h"

namespace kyv::unpack {

// Where a test looks: the head sample, or the volume area of a disk image (from 32 KiB on),
// which no head sample reaches.
enum class ProbePlace { Head, VolumeArea };

struct ContainerType {
  std::string_view name;
  bool (*test)(std::span<const std::byte> bytes);
  Extractor extract; // null: recognised, deliberately not unpacked
  ProbePlace place = ProbePlace::Head;
};

// What the tests read of one file. The volume area is read only when a test asks for it, and
// once: a file too short to have one is never opened again, and any other file costs one read
// of one sector unless that sector starts a volume descriptor.
class FileProbe {
public:
  // knownSize: the file's size when the caller knows it.
  explicit FileProbe(std::span<const std::byte> head, std::string path = {},
                     std::optional<std::uint64_t> knownSize = std::nullopt)
      : head_(head), path_(std::move(path)), knownSize_(knownSize) {}
  std::span<const std::byte> head() const { return head_; }
  std::span<const std::byte> volumeArea();
  std::span<const std::byte> bytesFor(const ContainerType& type) {
    return type.place == ProbePlace::Head ? head() : volumeArea();
  }

private:
  std::span<const std::byte> head_;
  std::string path_;
  std::optional<std::uint64_t> knownSize_;
  std::vector<std::byte> area_;
  bool areaRead_ = false;
};

// The table in recognition order.
std::span<const ContainerType> containerTypes();

// The names of the types whose test holds for a head (for tests and tools).
std::vector<std::string_view> recognise(std::span<const std::byte> head);
std::vector<std::string_view> recognise(FileProbe& probe);

// The e-mail test on its own: the head text (up to the first NUL, cut to 16 characters) begins
// with one of the header keywords of stored mail, or else the head looks like a message head.
bool looksLikeMail(std::span<const std::byte> head);
// The head's first lines are header fields ("Name:" with a name of printable characters and no
// blanks, or folded lines), and one of the usual message fields is among them before the head
// ends.
bool looksLikeMessageHead(std::span<const std::byte> head);

} // namespace kyv::unpack
