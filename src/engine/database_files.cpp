#include "engine/database_files.h"

#include "engine/database.h"
#include "engine/messages.h"

namespace kyv::engine {

bool DecodeStoredFile(std::vector<std::byte>& image, TDatabaseFile& file) {
  if (!DecodeDatabaseImage(image)) {
    file.Reason = "damaged or truncated: its checksum or compressed body is wrong";
    file.Message = DamagedFileMessage(file.FileName);
    return false;
  }
  const DatabaseHeader header = ReadDatabaseHeader(image);
  file.Stamp = header.Stamp;
  if (!header.hasMagic()) {
    file.Reason = "not a database file (wrong magic)";
    return false;
  }
  return true;
}

bool AcceptsStoredVersion(const std::vector<std::byte>& image, TDatabaseFile& file) {
  if (ReadDatabaseHeader(image).versionAccepted())
    return true;
  file.Reason = "made for a newer program version";
  file.Message = NewerVersionMessage(file.FileName);
  return false;
}

std::string DescribeRefusal(const TDatabaseFile& file) {
  std::string text = file.FileName + ": " + file.Reason;
  if (!file.Message.empty())
    text += " (" + file.Message + ")";
  return text;
}

} // namespace kyv::engine
