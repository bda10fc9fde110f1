// The standard security handler of documents, opened with the empty user password (the password
// a document has when anyone may open it and only its permissions are protected): RC4 with keys
// of 40 to 128 bits, AES-128 and AES-256, chosen for strings and streams by the dictionary's
// crypt filters. Each string and stream is decrypted with the key of the object that holds it.
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
  enum class Method { None, Rc4, Aes128, Aes256 };

  // The handler of the file's /Encrypt dictionary, opened; null with the reason in whyNot when it
  // cannot be opened (another handler, a user password that is not empty, a damaged dictionary).
  static std::unique_ptr<PdfSecurity> open(const PdfFile& file, std::string& whyNot);

  // A string of an object, in plain; what cannot be decrypted of a damaged one is left out.
  std::string decryptString(PdfId owner, std::string_view bytes) const;
  // Whether the stream is encrypted (cross-reference streams, metadata the dictionary leaves
  // plain and streams of the Identity filter are not): when it is, out holds the plain bytes and
  // damage why they are fewer or rougher than the stream should give (data cut short of a block,
  // padding that is not padding), empty when they are whole.
  bool decryptStream(PdfId owner, const PdfObject& dict, std::span<const std::byte> bytes,
                     std::vector<std::byte>& out, std::string& damage) const;

private:
  PdfSecurity() = default;
  Method streamMethod(const PdfObject& dict) const;
  void decrypt(Method method, PdfId owner, std::span<const std::byte> bytes,
               std::vector<std::byte>& out, std::string& damage) const;

  std::vector<std::uint8_t> key_;
  Method strings_ = Method::None;
  Method streams_ = Method::None;
  Method embeddedFiles_ = Method::None;
  bool plainMetadata_ = false;
  std::vector<std::pair<std::string, Method>> filters_; // named crypt filters
};

} // namespace kyv::document
