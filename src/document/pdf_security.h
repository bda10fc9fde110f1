// The standard security handler of documents, opened with the empty user password (the password
// a document has when anyone may open it and only its permissions are protected): RC4 with keys
// of 40 to 128 bits, AES-128 and AES-256. Each string and stream is decrypted with the key of the
// object that holds it.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/pdf_file.h"

namespace kyv::document {

class PdfSecurity {
public:
  virtual ~PdfSecurity() = default;
  // The handler of the file's /Encrypt dictionary, opened; null with the reason in whyNot when it
  // cannot be opened (another handler, a user password that is not empty, a damaged dictionary).
  static std::unique_ptr<PdfSecurity> open(const PdfFile& file, std::string& whyNot);

  virtual std::string decryptString(PdfId owner, std::string_view bytes) const = 0;
  virtual std::vector<std::byte> decryptStream(PdfId owner, const PdfObject& dict,
                                               std::span<const std::byte> bytes) const = 0;
};

} // namespace kyv::document
