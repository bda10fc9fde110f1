#include "engine/database_files.h"

namespace kyv::engine {

std::string DescribeRefusal(const TDatabaseFile& file) {
  std::string text = file.FileName + ": " + file.Reason;
  if (!file.Message.empty())
    text += " (" + file.Message + ")";
  return text;
}

} // namespace kyv::engine
