// The MIME parser: splits a stored message into its leaf parts so that each can be decoded and
// scanned like a file of its own. Small and forgiving: lines, boundary lines and three headers
// (Content-Type, Content-Transfer-Encoding, Content-Disposition); nothing else is interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_io.h"

namespace kyv::mail {

struct TMailPart {
  std::string Headers;  // header lines, folded lines joined, each followed by CR LF
  std::string Body;     // body lines, each followed by CR LF
  std::string Encoding; // Content-Transfer-Encoding value, trimmed and lower-cased
  std::string Name;     // file name from Content-Disposition, "MainBody", or empty
};

// Whole messages are read into memory; past this the file is refused. While parsing, the text
// and the parts' copies of it are held together, and both must fit in a 32-bit process's 2 GB
// beside the rest of the scan.
inline constexpr std::uint64_t kMaxMessageBytes = 512ull * 1024 * 1024;
// Real mail nests multiparts three or four deep; the unpacker stops at depth 32 too. A
// multipart deeper than this is kept as one undivided part.
inline constexpr int kMaxMultipartDepth = 32;
// The unpacker delivers at most 100,000 members per scanned file; parts past that would only be
// thrown away, so the walk stops there.
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
  // The same walk over a message held in memory; the text need not outlive the call.
  bool ParseText(std::string_view text);

  std::size_t PartCount() const { return Parts_.size(); }
  // The parts in message order; a caller may rename a part in place.
  std::span<TMailPart> Parts() { return Parts_; }
  std::span<const TMailPart> Parts() const { return Parts_; }
  // The message's own header block, folded lines joined, each line followed by CR LF.
  const std::string& HeaderLines() const { return HeaderLines_; }

  // Writes the part's body decoded by its Encoding; an encoding it does not know writes
  // nothing. False when the sink refused a write.
  [[nodiscard]] static bool WritePart(const TMailPart& part, ByteSink& out);

  // Header helpers, on a block as HeaderLines() holds it.
  // The trimmed rest of the first line that starts with name (colon included), in any case.
  static std::string HeaderValue(std::string_view block, std::string_view name);
  // The boundary parameter of a Content-Type value, unquoted; empty when there is none.
  static std::string BoundaryOf(std::string_view contentType);
  // The filename parameter of the block's Content-Disposition, unquoted; empty when none.
  static std::string AttachmentName(std::string_view block);

private:
  std::string_view ReadLine();
  bool AtEnd() const { return NextLine >= Text.size(); }
  bool ReadHeaders(std::string& block);
  void ParseMultipart(const std::string& boundary, int depth);
  void AddPart(std::string headers, std::string body, const std::string& name);
  void Walk();

  std::string FileName;
  // The message text and the offset of the next line in it. Lines are taken from the text as
  // they are read rather than split up front: a file of a few hundred MB of short lines would
  // otherwise cost many times its size in line records.
  std::string_view Text;
  std::size_t NextLine = 0;
  std::string HeaderLines_;
  std::vector<TMailPart> Parts_;
  bool Full = false; // kMaxParts reached
};

} // namespace kyv::mail
