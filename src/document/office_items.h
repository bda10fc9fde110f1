// What an Office compound file (Word, Excel, PowerPoint, Visio, Publisher or any other program's,
// Outlook messages aside) gives to scan: every stream under its path, storage names joined by
// '/' below the root, control characters in names shown as "[N]" (the "\1Ole10Native" stream is
// "[1]Ole10Native"); empty streams are left out. Three kinds of content are opened further:
//  - an "\1Ole10Native" stream holding a packaged file (an old-style embedding, in Word's
//    "ObjectPool" storages and Excel's "MBD..." ones alike) gives the file, under its own base
//    name, in place of the stream; a stream that holds no package stays as it is;
//  - a "PowerPoint Document" stream gives, besides itself, each embedded object's compound file,
//    decompressed, as "<stream path>/ObjectN";
//  - a storage holding a VBA project gives each module's source text, decompressed, as
//    "<storage path>/<module name>.vba", after the storage's streams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "document/compound_file.h"

namespace kyv::document {

struct TOfficeItem {
  enum class TKind { Stream, Package, VbaModule, PptObject };
  TKind Kind = TKind::Stream;
  std::string Name;
  std::uint32_t Entry = 0; // the stream the item comes from
  std::uint64_t Offset =
      0; // where in it: the packaged file, the module's source, the record's body
  std::uint64_t Length = 0; // the packaged file's or the record's length
  bool Compressed = false;  // an embedded PowerPoint object stored compressed
};

struct TOfficeListing {
  std::vector<TOfficeItem> Items;
  // VBA projects whose module list could not be read whole: the storages' paths.
  std::vector<std::string> DamagedProjects;
};

// The items of a compound file, storages walked in tree order, each storage's streams before its
// VBA modules and its sub-storages.
TOfficeListing ListOfficeItems(TCompoundFile& file);

enum class TOfficeWrite {
  Complete,    // every byte of the item
  Damaged,     // the stream ended early or its data did not decode: written as far as it went
  SinkRefused, // the sink took no more
};

// Writes items of one file; the stream last read stays open, so the many objects of one
// PowerPoint stream do not each follow its sector chain again.
class TOfficeItemWriter {
public:
  explicit TOfficeItemWriter(TCompoundFile& file) : file_(file) {}
  TOfficeWrite Write(const TOfficeItem& item, ByteSink& sink);

private:
  TCfbStream& Stream(std::uint32_t entry);

  TCompoundFile& file_;
  std::uint32_t openEntry_ = 0;
  std::optional<TCfbStream> open_;
};

} // namespace kyv::document
