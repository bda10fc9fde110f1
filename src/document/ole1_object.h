// OLE1 objects, as Office keeps them for old embeddings and RTF keeps them for all of its own.
//
// An object header: version (4 bytes), format id (4: 1 linked, 2 embedded), then length-prefixed
// ANSI strings (a 4-byte length that counts the NUL, then the bytes) for the class name, the
// topic and the item, then the native data's size (4) and the native data. Only an embedded
// object carries native data.
//
// The native data of the class "Package" (the packager that wraps any file) is: 02 00, the label
// and the original file name as NUL-terminated strings, two bytes, the kind (3 for an embedded
// file, 1 for a link), the temporary path with a 4-byte length before it, then the file's size
// (4) and its bytes. A compound file keeps such native data in its "\1Ole10Native" stream, after
// a 4-byte size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kyv::document {

struct TOle1Package {
  std::string Label;
  std::string FileName; // the original path, as the sender's packager stored it
  std::string TempPath;
  std::uint64_t DataOffset = 0; // of the file's bytes, from the start of the native data
  std::uint64_t DataSize = 0;
};

struct TOle1Object {
  std::uint32_t FormatId = 0;
  std::string ClassName;
  std::uint64_t NativeOffset = 0; // from the start of the object
  std::uint64_t NativeSize = 0;   // as declared, cut to the bytes there are
  bool NativeCut = false;         // the declared size runs past the end
};

// Headers longer than this are no packager's: its strings are paths and labels.
inline constexpr std::size_t kMaxOle1Header = 64 * 1024;
inline constexpr std::string_view kPackageClass = "Package";

// The package in native data of nativeSize bytes, of which head holds the first ones (at least
// the header); empty when the header is malformed, is a link, or the file runs past nativeSize.
std::optional<TOle1Package> ParsePackage(std::span<const std::byte> head, std::uint64_t nativeSize);

// An embedded object's header in the first bytes of an object of objectSize bytes; empty when
// the header does not parse or the object is not embedded.
std::optional<TOle1Object> ParseOle1Object(std::span<const std::byte> head,
                                           std::uint64_t objectSize);

// The name a packaged file is delivered under: the base name of its original path (else of its
// label, else of its temporary path), control characters left out; empty when none has one.
std::string PackageFileName(const TOle1Package& package);

} // namespace kyv::document
