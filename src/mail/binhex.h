// BinHex 4.0 (RFC 1741), the Macintosh attachment form: a text of 64 printable characters between
// two colons, after the line "(This file must be converted with BinHex 4.0)". Under the text lies
// a run-length coded stream: a header (name, type, creator, flags, fork lengths, CRC), the data
// fork and the resource fork, each followed by its CRC.
//
// The reader decodes as it goes; nothing is sized by a length the file declares, so a fork of a
// claimed 4 GB costs only what the text really carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/byte_io.h"

namespace kyv::mail {

// Where the BinHex text of a message body begins: the position of the line that announces it
// ("(This file must be converted with BinHex", blanks before it allowed), or npos.
std::size_t FindBinHex(std::string_view text);

class TBinHexReader {
public:
  // The text must outlive the reader; it may start anywhere before the announcing line.
  explicit TBinHexReader(std::string_view text);

  // Reads the header; false when there is no BinHex text or its header is cut off or malformed
  // (a name of 0 or more than 63 characters).
  bool ReadHeader();
  const std::string& Name() const { return name_; }
  std::uint32_t DataLength() const { return dataLength_; }
  std::uint32_t ResourceLength() const { return resourceLength_; }
  bool HeaderCrcOk() const { return headerCrcOk_; }

  struct ForkResult {
    std::uint64_t Written = 0; // bytes handed to the sink
    bool Complete = false;     // the whole fork was there (and the sink took it)
    bool CrcOk = false;        // and its CRC matched
  };
  // The data fork, then (after it) the resource fork, into a sink.
  ForkResult ReadDataFork(ByteSink& out) { return ReadFork(dataLength_, out); }
  ForkResult ReadResourceFork(ByteSink& out) { return ReadFork(resourceLength_, out); }

private:
  ForkResult ReadFork(std::uint32_t length, ByteSink& out);
  // The next byte of the run-length decoded stream; nullopt at the end of the text.
  std::optional<std::uint8_t> Next();
  std::optional<std::uint8_t> NextCoded(); // the next byte under the run-length coding
  bool ReadBytes(std::uint8_t* out, std::size_t count, std::uint16_t& crc);

  std::string_view text_;
  std::size_t pos_ = 0;
  bool textEnded_ = false;
  // Six-bit groups to bytes.
  std::uint32_t bits_ = 0;
  int bitCount_ = 0;
  // Run-length state: the last byte given and how many more copies of it are due.
  std::uint8_t last_ = 0;
  std::uint32_t repeat_ = 0;

  std::string name_;
  std::uint32_t dataLength_ = 0;
  std::uint32_t resourceLength_ = 0;
  bool headerCrcOk_ = false;
};

} // namespace kyv::mail
