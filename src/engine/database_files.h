// What the last load made of each database file, for the front ends to report. The engine's own
// record (LoadErrors) holds only its two messages and says nothing of a file of another kind,
// of an update older than the main database, or of the file an error came from; a user whose
// update was dropped must be told which file and why.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kyv::engine {

struct TDatabaseFile {
  std::string FileName; // the name in the database folder
  bool Loaded = false;
  double Stamp = 0;        // from its header, when it got that far
  std::size_t Records = 0; // records it added
  // The start-up fails without it: a main file, the unpack code, or a file whose error ended
  // the load.
  bool Required = false;
  std::string Reason;  // why it was refused, in English; empty when loaded
  std::string Message; // the message the engine recorded for it (Windows-1251), if any
};

using TDatabaseFiles = std::vector<TDatabaseFile>;

// The tests every stored file passes before its body is read: decoded in place, the magic, and
// the program version it asks for. False, with the file's Reason (and the engine's Message, where
// the engine has one) set, when the file is refused. Stamp is set once the header is readable,
// so a caller can test it between the two steps.
bool DecodeStoredFile(std::vector<std::byte>& image, TDatabaseFile& file);
bool AcceptsStoredVersion(const std::vector<std::byte>& image, TDatabaseFile& file);

// "FILE: REASON (MESSAGE)", the message left out when there is none. Windows-1251 where the
// message is.
std::string DescribeRefusal(const TDatabaseFile& file);

} // namespace kyv::engine
