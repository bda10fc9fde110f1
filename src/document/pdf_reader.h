// What a document file carries, as members for the scan: every stream decoded through its
// filters ("obj N G" after its object number and generation), embedded files under the names
// their /Filespec dictionaries give, and scripts held in strings ("obj N G JS", the object that
// holds the /JS key). Every object in the file counts, those of object streams and older
// revisions included.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/byte_io.h"
#include "document/pdf_file.h"

namespace kyv::document {

class PdfSecurity;

struct PdfMember {
  std::string name;
  const PdfObjectEntry* stream = nullptr; // a stream, delivered through its filters
  std::string text;                       // otherwise these bytes
};

struct PdfExtract {
  bool sinkRefused = false; // the sink refused a write: the member is cut there
  bool damaged = false;     // a filter met broken data; what decoded before it was written
  // Why the stream is delivered less decoded than a viewer would see it (a filter no reader
  // here knows, a chain too long, a stage too large to hold); empty when it is not.
  std::string notDecoded;
  // Why the stream's decryption came out short or rough (data cut within a block, broken
  // padding); empty when it did not.
  std::string decryptDamage;
};

class PdfReader {
public:
  // The bytes must outlive the reader.
  explicit PdfReader(std::span<const std::byte> bytes);
  ~PdfReader();
  PdfReader(const PdfReader&) = delete;
  PdfReader& operator=(const PdfReader&) = delete;

  // Why the document could not be decrypted; empty when it is not encrypted or was opened. A
  // locked document has no members.
  const std::string& lockedReason() const { return locked_; }
  const std::vector<PdfMember>& members() const { return members_; }
  PdfExtract extract(const PdfMember& member, ByteSink& out) const;

private:
  void collect(const PdfObject& value, PdfId owner, bool encryptedStrings, int depth);
  std::string plainString(const PdfObject& s, PdfId owner, bool encryptedStrings) const;
  PdfExtract decode(const PdfObjectEntry& entry, ByteSink& out) const;
  void readObjectStreams();
  void listMembers();

  PdfFile file_;
  std::unique_ptr<PdfSecurity> security_;
  std::string locked_;
  std::vector<std::pair<PdfId, std::string>> fileNames_; // embedded file streams and their names
  std::vector<std::pair<PdfId, std::string>> scripts_;   // script strings and their owners
  std::vector<PdfId> scriptRefs_;
  std::vector<PdfMember> members_;
};

} // namespace kyv::document
