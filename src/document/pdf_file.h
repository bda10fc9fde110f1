// The objects of a document file, found by reading the file from start to end rather than by
// trusting its cross-reference tables: every "N G obj" header is an object, including those an
// incremental update replaced or no table names (a document's older revisions stay in the file
// and may be what an attack hides in). A stream's data ends where its /Length says when that
// lands on "endstream", else at the next "endstream". Trailers (the classic "trailer"
// dictionaries and cross-reference streams) are read only for what decryption needs.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "document/pdf_object.h"

namespace kyv::document {

struct PdfObjectEntry {
  PdfId id;
  std::size_t offset = 0;    // of the header
  std::size_t bodyStart = 0; // just past "obj"
  std::size_t bodyEnd = 0;   // the next header (or the end of the file): the value lies before it
  bool isStream = false;
  std::size_t dataStart = 0; // the stream's data, raw as stored
  std::size_t dataEnd = 0;
  PdfObject dict; // a stream's dictionary
};

class PdfFile {
public:
  // The bytes must outlive the object.
  explicit PdfFile(std::span<const std::byte> bytes);

  std::span<const std::byte> bytes() const { return bytes_; }
  // Every object in file order.
  const std::vector<PdfObjectEntry>& objects() const { return objects_; }
  // The object a reference means: the last of that number and generation in the file, as an
  // incremental update replaces an object by writing it again after the old one.
  const PdfObjectEntry* find(PdfId id) const;
  // The value of an object (for a stream, its dictionary).
  PdfObject value(const PdfObjectEntry& entry) const;
  // Follows a reference to a direct object's value (one step; an object inside an object stream
  // is not reached).
  PdfObject resolve(const PdfObject& value) const;
  // The last /Encrypt and /ID of any trailer, when there is one.
  const PdfObject& encrypt() const { return encrypt_; }
  const PdfObject& fileId() const { return fileId_; }

private:
  struct Header {
    PdfId id;
    std::size_t offset;
    std::size_t bodyStart;
  };
  void findHeaders();
  void readObject(const Header& header, std::size_t bodyEnd, std::size_t& resume);
  std::optional<std::int64_t> directLength(const PdfObject* length) const;
  void findStreamEnd(PdfObjectEntry& entry) const;
  void readTrailers();
  void takeTrailer(const PdfObject& dict, std::size_t at);

  std::span<const std::byte> bytes_;
  std::vector<Header> headers_;
  std::vector<std::size_t> streamEnds_; // offsets of every "endstream", ascending
  std::map<PdfId, std::size_t> lastHeader_;
  std::vector<PdfObjectEntry> objects_;
  std::map<PdfId, std::size_t> lastObject_;
  PdfObject encrypt_;
  PdfObject fileId_;
  std::size_t encryptAt_ = 0;
  std::size_t idAt_ = 0;
};

} // namespace kyv::document
