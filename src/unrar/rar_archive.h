// Reader of RAR archives, both the 1.5-4.x block format and the RAR 5 format: walks the headers
// one member at a time and decodes a member's data into a sink. Used by the module's C
// interface, the tests and the fuzz target alike.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace kyv::unrar {

class MemberDecoder;

struct RarEntry {
  std::string name; // bytes as stored (RAR 1.5-4.x) or UTF-8 (RAR 5), '/' separated
  std::u16string wideName;
  std::uint64_t packSize = 0;
  std::uint64_t unpSize = 0;
  std::uint32_t crc = 0;
  bool hasCrc = false;
  std::uint32_t hostOs = 0;
  std::uint32_t fileTime = 0; // DOS date and time
  std::uint32_t unpVer = 0;   // 15..36 for the old format, 50 for RAR 5
  std::uint32_t method = 0;   // 0x30..0x35
  std::uint32_t attributes = 0;
  std::uint64_t dictionary = 0;
  bool directory = false;
  bool encrypted = false;
  bool solid = false; // continues the previous member's stream
  bool splitBefore = false;
  bool splitAfter = false;
  bool blake2 = false;
  std::array<std::uint8_t, 32> hash{};
  std::uint32_t redirection = 0; // RAR 5 link or copy type, 0 for an ordinary member
  std::string redirectTarget;    // for links and copies: the name they refer to (UTF-8)
  std::uint64_t dataOffset = 0;
};

// Outcome of reading or decoding, mapped one to one onto the interface's result codes.
enum class RarStatus {
  Ok,
  End,
  NoMemory,
  BadData,
  BadArchive,
  UnknownFormat,
  OpenError,
  WriteError,
  MissingPassword
};

class RarArchive {
public:
  // The archive is read from `source`, which must outlive this object.
  explicit RarArchive(ByteSource& source);
  ~RarArchive();
  RarArchive(const RarArchive&) = delete;
  RarArchive& operator=(const RarArchive&) = delete;

  // Finds the signature (also behind a self-extractor stub or other leading bytes) and reads the
  // archive header.
  RarStatus open();
  bool isRar5() const { return rar5_; }
  std::uint32_t archiveFlags() const { return archiveFlags_; } // the interface's open flags

  // The next member's header; End after the last one.
  RarStatus next(RarEntry& entry);
  // Decodes the member whose header came last; `sink` null tests without keeping the bytes.
  RarStatus extract(ByteSink* sink);
  // Passes over the member whose header came last (decoding it when a solid stream needs it).
  RarStatus skip();

private:
  RarStatus checkMainHeader();
  RarStatus readMainOld();
  RarStatus readMain5();
  RarStatus nextOld(RarEntry& entry);
  RarStatus nextRar5(RarEntry& entry);
  RarStatus decode(ByteSink* sink);
  RarStatus decodeEntry(const RarEntry& e, ByteSink* sink);
  MemberDecoder& decoderFor(const RarEntry& entry);
  void rememberCopySource(const RarEntry& e);

  ByteSource& source_;
  bool rar5_ = false;
  bool solidArchive_ = false;
  std::uint32_t archiveFlags_ = 0;
  std::uint64_t nextHeader_ = 0; // past the main header once open() has read it
  bool headersEncrypted_ = false;
  bool ended_ = false;
  std::optional<RarEntry> current_;
  // Earlier members that file copies and hard links may refer to, by name. Only members whose
  // data can be decoded again on their own are kept (not solid, not encrypted).
  std::vector<RarEntry> copySources_;
  bool currentDone_ = true;
  // Solid state: which decoder holds the stream and whether it is still good.
  MemberDecoder* solidDecoder_ = nullptr;
  bool solidBroken_ = false;
  std::unique_ptr<MemberDecoder> rar5Decoder_, rar3Decoder_, rar2Decoder_, rar15Decoder_;
};

} // namespace kyv::unrar
