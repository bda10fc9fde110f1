// The MIME parser: splits a stored message (or every message of an mbox file) into its leaf parts
// so that each can be decoded and scanned like a file of its own. Forgiving, and reading what mail
// readers read: multiparts at any depth walked without recursion, delimiter lines with transport
// padding, forwarded messages (message/rfc822, digest entries) opened in place, uuencoded blocks
// inside text bodies given as parts of their own. Three headers are interpreted (Content-Type,
// Content-Transfer-Encoding, Content-Disposition); a NUL byte is data like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/byte_io.h"

namespace kyv::mail {

struct TMailPart {
  std::string Headers; // header lines, folded lines joined, each followed by CR LF
  // The part's bytes in the message, a view of the parser's copy of the text (valid while the
  // parser lives): nothing is copied while parsing, so a large part costs no memory of its own
  // until it is written. Parts sent as they are (no encoding, 7bit, 8bit, binary): exactly their
  // bytes, without the line break that belongs to the next delimiter. Encoded parts: their
  // lines as they stand; WritePart gives each a CR LF where its decoder needs one.
  std::string_view Body;
  std::string Encoding;      // the Content-Transfer-Encoding mechanism, lower-cased
  std::string Name;          // file name from Content-Disposition, "MainBody", or empty
  std::uint32_t Message = 1; // which message of an mbox file the part belongs to, from 1
};

// Whole messages are read into memory; past this the file is refused. The parts are views of
// that text; only a quoted-printable or uuencoded part is copied again, one at a time when it is
// written, and it must fit in a 32-bit process's 2 GB beside the text and the rest of the scan.
inline constexpr std::uint64_t kMaxMessageBytes = 512ull * 1024 * 1024;
// The unpacker delivers 100,000 members per scanned file unless told otherwise; the walk stops
// at as many parts, and says so when there were more (PartsDropped), so the scan is reported
// as not complete rather than passed as clean.
inline constexpr std::size_t kMaxParts = 100000;
// Lines need no cap of their own: they are views of the text, and each is copied at most once,
// into the one part or header block it belongs to.

class TEmailParser {
public:
  TEmailParser() = default;

  void SetFileName(const std::string& path) { FileName = path; }
  // Reads the file named by SetFileName and fills Parts; true once the file was read. A file
  // that cannot be opened or read, or that is larger than kMaxMessageBytes, throws kyv::Error.
  bool Parse();
  // The same walk over a message held in memory; the parser keeps its own copy of the text, so
  // the text need not outlive the call.
  bool ParseText(std::string_view text);

  std::size_t PartCount() const { return Parts_.size(); }
  // The parts in message order; a caller may rename a part in place.
  std::span<TMailPart> Parts() { return Parts_; }
  std::span<const TMailPart> Parts() const { return Parts_; }
  // True when the message held more than kMaxParts parts and the rest were not read.
  bool PartsDropped() const { return Full; }
  // The (first) message's own header block, folded lines joined, each followed by CR LF.
  const std::string& HeaderLines() const { return HeaderLines_; }
  // How many messages the text held: more than one only for an mbox file.
  std::uint32_t MessageCount() const { return Messages_; }

  // Writes the part's body decoded by its Encoding; an encoding it does not know writes
  // nothing. False when the sink refused a write. Throws std::bad_alloc when a part that must
  // be copied to be decoded does not fit in memory; that part is then lost, the others are not.
  [[nodiscard]] static bool WritePart(const TMailPart& part, ByteSink& out);

  // Header helpers, on a block as HeaderLines() holds it.
  // The value of the first field with this name (colon included or not), in any case; empty when
  // there is none.
  static std::string HeaderValue(std::string_view block, std::string_view name);
  // The boundary parameter of a Content-Type value; empty when there is none.
  static std::string BoundaryOf(std::string_view contentType);
  // The filename parameter of the block's Content-Disposition, decoded (RFC 2231, RFC 2047);
  // empty when none.
  static std::string AttachmentName(std::string_view block);

private:
  struct Frame { // one open multipart
    std::string Boundary;
    bool Digest = false; // its parts are messages unless they say otherwise
  };
  struct Leaf { // the part whose body is being read
    bool Open = false;
    std::string Headers;
    std::string Encoding;
    std::string Name;
    std::size_t BodyStart = 0;
  };

  std::string_view ReadLine();
  bool AtEnd() const { return NextLine >= Text.size(); }
  bool ReadHeaders(std::string& block);
  void Walk();
  bool WalkMessage(bool mbox);
  void StartPart(std::string headers, bool inDigest, bool topLevel);
  void OpenLeaf(std::string headers, std::string name);
  void FinishLeaf(std::size_t end, bool dropLastBreak);
  int MatchDelimiter(std::string_view line, bool& closing) const;
  void PopFrames(std::size_t keep);
  void AddUuencodedBlocks(std::string_view body);
  void AddPart(std::string headers, std::string_view body, std::string encoding, std::string name);

  std::string FileName;
  // The message text and the offset of the next line in it. Lines are taken from the text as
  // they are read rather than split up front: a file of a few hundred MB of short lines would
  // otherwise cost many times its size in line records.
  std::string_view Text;
  std::size_t NextLine = 0;
  // The text the parts' bodies view: the file's bytes, or ParseText's copy.
  std::vector<std::byte> Owned_;
  std::string HeaderLines_;
  std::vector<TMailPart> Parts_;
  std::uint32_t Messages_ = 0;
  bool Full = false; // a part past kMaxParts was dropped
  std::vector<Frame> Frames;
  // How many open frames use each boundary, so that a delimiter of an outer multipart is known
  // at once, however deep the walk is.
  std::unordered_map<std::string, std::uint32_t> OpenBoundaries;
  Leaf Current;
};

} // namespace kyv::mail
