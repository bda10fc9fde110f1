// A thin wrapper over a RAR extraction module reached through four process-wide entry points,
// which the module loader fills when the unpack code brings the module up and which are null
// while no module is loaded.
#pragma once

#include <memory>
#include <string>

#include "unrar/unrar_abi.h"

namespace kyv::modload {

// The module's four functions, filled through the unpack code's import table.
extern void* RAROpenArchiveExProc;
extern void* RARCloseArchiveProc;
extern void* RARReadHeaderExProc;
extern void* RARProcessFileProc;

// The header record, allocated zeroed and with room to spare past the public record, so that a
// module built against a later, longer record cannot write past it.
class RarHeader {
public:
  RarHeader();
  ~RarHeader();
  RarHeader(const RarHeader&) = delete;
  RarHeader& operator=(const RarHeader&) = delete;
  // Zeroes the whole record, slack included, before the module fills it again.
  void clear();
  unrar::RARHeaderDataEx& data() { return *data_; }
  const unrar::RARHeaderDataEx& data() const { return *data_; }

private:
  struct Storage;
  std::unique_ptr<Storage> storage_;
  unrar::RARHeaderDataEx* data_;
};

class TUnrarArchive {
public:
  explicit TUnrarArchive(std::string archiveName) : ArchiveName(std::move(archiveName)) {}
  ~TUnrarArchive() { Close(); }
  TUnrarArchive(const TUnrarArchive&) = delete;
  TUnrarArchive& operator=(const TUnrarArchive&) = delete;

  // Closes what was open, then opens ArchiveName for extraction. False when no module is loaded
  // or the module cannot open the file.
  bool Open();
  // The module's answer: 0 when a header was read into header; -1 without a call when closed.
  int ReadHeader(RarHeader& header);
  // Extracts the current member to targetPath; the module's result, 0 on success.
  int ExtractCurrent(const std::string& targetPath);
  void SkipCurrent();
  bool Close();

  std::string ArchiveName;
  unrar::RarHandle Handle = nullptr;
};

} // namespace kyv::modload
