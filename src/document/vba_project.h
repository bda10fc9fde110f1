// VBA projects: a storage named "VBA" (under "Macros" in Word files, "_VBA_PROJECT_CUR" in Excel
// ones, the root of an Office Open XML file's vbaProject.bin) whose compressed "dir" stream lists
// the modules. The dir stream is a run of records, each a 2-byte id, a 4-byte size and its bytes;
// one record (the project version) has six bytes behind a size that says four. A module is the
// records from its name (0019) to its terminator (002B): its stream's name (001A, followed by
// the same name in UTF-16 as record 0032), its name in UTF-16 (0047) and the offset of its
// compressed source text in that stream (0031). The source is the stream from that offset on,
// compressed as the dir stream is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "document/compound_file.h"

namespace kyv::document {

struct TVbaDirModule {
  std::string Name;           // in the project's code page, as stored
  std::u16string UnicodeName; // empty when the record is missing
  std::string StreamName;
  std::u16string UnicodeStreamName;
  std::uint32_t TextOffset = 0;
};

// A decompressed dir stream larger than this is not read further: real projects with hundreds
// of modules and references take a few tens of kilobytes.
inline constexpr std::size_t kMaxVbaDirBytes = 4u << 20;

struct TVbaDir {
  std::vector<TVbaDirModule> Modules;
  bool Damaged = false; // a record ran past the end: the records after it are not known
};

// The modules a decompressed dir stream lists, as far as its records can be followed.
TVbaDir ParseVbaDir(std::span<const std::byte> dir);

struct TVbaModule {
  std::string Name;         // the module's name in the system's narrow text
  std::uint32_t Stream = 0; // the entry holding its source
  std::uint32_t TextOffset = 0;
};

struct TVbaProject {
  std::vector<TVbaModule> Modules;
  bool DirDamaged =
      false; // the dir stream did not decompress or parse whole: modules may be missing
};

// A storage that holds a VBA project: it has a "dir" stream.
bool IsVbaStorage(const TCompoundFile& file, std::uint32_t storage);
// The modules of the project in that storage whose streams are there.
TVbaProject ReadVbaProject(TCompoundFile& file, std::uint32_t storage);

} // namespace kyv::document
