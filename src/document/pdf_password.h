// The file key of the standard security handler, derived from the empty user password: the MD5
// and RC4 scheme of revisions 2 to 4, and the SHA-2 and AES-256 scheme of revisions 5 and 6.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kyv::document {

struct PdfPasswordCheck {
  int revision = 0;
  std::string owner;            // /O
  std::string user;             // /U
  std::string userKey;          // /UE (revisions 5 and 6)
  std::int32_t permissions = 0; // /P
  std::string fileId;           // the first string of the trailer's /ID, or empty
  bool encryptMetadata = true;
  std::size_t keyBytes = 5; // revisions 2 to 4: the file key's length, 5 to 16
};

// The file key, or nullopt when the empty password is not the user password (or the strings are
// too short to tell: /O and /U need 32 bytes before revision 5, 48 from it, /UE 32).
std::optional<std::vector<std::uint8_t>> pdfKeyForEmptyPassword(const PdfPasswordCheck& check);

} // namespace kyv::document
