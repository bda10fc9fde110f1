// Which container types a file's head announces. Every test is made and every type that matches
// is unpacked, in this order; a match does not end the list.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "unpack/extractors.h"

namespace kyv::unpack {

struct ContainerType {
  std::string_view name;
  bool (*test)(std::span<const std::byte> head);
  Extractor extract; // null: recognised, deliberately not unpacked
};

// The table in recognition order.
std::span<const ContainerType> containerTypes();

// The names of the types whose test holds for a head (for tests and tools).
std::vector<std::string_view> recognise(std::span<const std::byte> head);

// The e-mail test on its own: the head text (up to the first NUL, cut to 16 characters) begins
// with one of the header keywords of stored mail, or else the head looks like a message head.
bool looksLikeMail(std::span<const std::byte> head);
// The head's first lines are header fields ("Name:" with a name of printable characters and no
// blanks, or folded lines), and one of the usual message fields is among them before the head
// ends.
bool looksLikeMessageHead(std::span<const std::byte> head);

} // namespace kyv::unpack
