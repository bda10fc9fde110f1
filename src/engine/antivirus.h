// The signature engine: loads the signature databases of a folder and matches files' samples
// against their descriptors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/database_files.h"
#include "engine/file_scanner.h"
#include "engine/signature_index.h"
#include "engine/signatures.h"

namespace kyv::engine {

class TAntivirus {
public:
  std::string BasePath;  // database folder, normalised, ending with the separator
  std::string FoundName; // name of the last finding
  std::vector<TVirusDescr> Descriptors;
  std::vector<TKYVScript> Scripts;
  std::vector<TKYVNeuro> NeuroItems;
  std::string LoadErrors; // messages of the last load, joined by ";"
  double MainStamp = 0;
  // Every file the last load looked at, in load order, taken in or refused with its reason.
  TDatabaseFiles Files;

  explicit TAntivirus(const std::string& folder);

  void ClearTables();
  // Every "main*.kyv" in enumeration order (stopping at the first failure), then "daily.kyv"
  // and "neural.kyv" if present. False only when a main file failed. Throws kyv::Error when a
  // file cannot be read or holds a field out of range.
  bool LoadDatabases();
  bool LoadSignatureFile(const std::string& path, bool isMain);
  bool LoadNeuralFile(const std::string& path);
  void AddLoadError(const std::string& message);

  // Loaders over a stored file already in memory; name is used in the messages and Files only.
  bool LoadSignatureImage(std::vector<std::byte> image, const std::string& name, bool isMain);
  bool LoadNeuralImage(std::vector<std::byte> image, const std::string& name);

  // 0 nothing, 1 an exact match (the first in table order), 2 a partial one (the last).
  std::int32_t CheckFileInfo(TKYVFileInfo info, TVirusDescr& found);

  // Matching looks descriptors up in an index (signature_index.h) that the loaders build once
  // the tables are filled. After editing Descriptors in place, call this; a change of its
  // length is noticed by itself. Entries narrowed in place are never matched stale.
  void ReindexDescriptors();
  // The bytes the index takes beside the tables.
  std::size_t IndexBytes() const { return index_.memoryBytes(); }

private:
  SignatureIndex index_;
  // Set while LoadDatabases runs, so the index is built once for the whole set, not per file.
  bool loadingSet_ = false;

  // Decodes and runs the header tests shared by both loaders; false (with the message and the
  // refusal recorded) when the file is to be skipped.
  bool decodeAndTest(std::vector<std::byte>& image, TDatabaseFile& file, bool isMain,
                     bool checkStamp);
  // Records a refused file in Files (its message, if any, among the load errors); false, for
  // the loaders to return. The first takes the file with its Reason already set.
  bool refuse(TDatabaseFile file);
  bool refuse(TDatabaseFile file, std::string reason, std::string message = {});
};

// The file's four sums in 8 upper-case hexadecimal digits each and its size in decimal, each
// preceded by a space: the details of a partial match.
std::string MatchDetails(const TKYVFileInfo& info);

} // namespace kyv::engine
