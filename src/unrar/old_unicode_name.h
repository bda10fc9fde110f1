// The old format's compact Unicode file name, stored after the narrow name and a zero byte.
#pragma once

#include <span>
#include <string>

namespace kyv::unrar {

// A high byte shared by runs of characters, two flag bits per character saying how it is stored,
// and runs copied from the narrow name. Stops at 1024 characters or where the bytes run out.
std::u16string decodeOldUnicodeName(std::span<const std::byte> narrow,
                                    std::span<const std::byte> encoded);

} // namespace kyv::unrar
