// The unpack-code library: named records of code read from extract.kyv, of which the one named
// "UNRAR" is brought up as the RAR extraction module.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "engine/database_files.h"
#include "modload/dll_unit.h"

namespace kyv::unpack {

struct TUnpackCodeLib {
  std::string Name;            // upper-cased and trimmed at load
  std::vector<std::byte> Code; // released once a module has been loaded from it
  modload::TLibInfo Lib;       // the module loaded from Code; empty until then
  // What the module put into the RAR entry points (in RarImports order), so that freeing it
  // clears only those still pointing into it.
  std::array<void*, 4> Entries{};
};

using TUnpackCodeArray = std::vector<TUnpackCodeLib>;

// The RAR module's four exports and the process-wide variables they go to.
const std::array<modload::TImportItem, 4>& RarImports();

// Appends the records of the decoded image of an unpack-code file (header, then the record
// table) to code. False, with nothing appended, when the header is refused or the table is
// damaged (a negative count or size, or a record that runs past the image).
bool ReadUnpackCodeRecords(std::span<const std::byte> decodedImage, TUnpackCodeArray& code);

// Reads one unpack-code file and appends its records; false when the file is missing, damaged,
// not ours or too new. report, when given, says which of these and the file's stamp.
bool LoadCodeFile(const std::string& path, TUnpackCodeArray& code,
                  engine::TDatabaseFile* report = nullptr);

// Unloads every module and empties code. The RAR entry points are process-wide: those that
// point into a module freed here go back to the newest module still loaded, or are cleared,
// so freeing an old set never disables one loaded beside it (a daemon reading new databases
// while the old ones serve).
void FreeUnpackCode(TUnpackCodeArray& code);

// Starts again: frees what was loaded, reads extract.kyv from basePath and brings up its UNRAR
// records. True when the file was read; report as for LoadCodeFile. When the file holds a RAR
// module but none comes up on this system (a module built for another one, a damaged record),
// rarProblem (when given) says why; it is emptied otherwise.
bool LoadUnpackCode(const std::string& basePath, TUnpackCodeArray& code,
                    engine::TDatabaseFile* report = nullptr, std::string* rarProblem = nullptr);

} // namespace kyv::unpack
