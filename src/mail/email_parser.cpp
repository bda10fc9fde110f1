#include "mail/email_parser.h"

#include "base/endian.h"
#include "base/error.h"
#include "base/text.h"
#include "mail/header_fields.h"
#include "mail/transfer_decoders.h"
#include "platform/file.h"

namespace kyv::mail {
namespace {

constexpr std::string_view kCrLf = "\r\n";
// The lines of a stretch of the message, each followed by CR LF. Measured first so that the
// result is allocated once at its final size: growing it line by line would briefly hold up to
// twice a large attachment on top of the message text.
std::string linesWithCrLf(std::string_view region) {
  std::size_t lines = 0;
  std::size_t breakBytes = 0;
  for (std::size_t i = 0; i < region.size();) {
    const std::size_t end = region.find_first_of("\r\n", i);
    ++lines;
    if (end == std::string_view::npos)
      break;
    i = end + 1;
    ++breakBytes;
    if (region[end] == '\r' && i < region.size() && region[i] == '\n') {
      ++i;
      ++breakBytes;
    }
  }
  std::string out;
  out.reserve(region.size() - breakBytes + 2 * lines);
  for (std::size_t i = 0; i < region.size();) {
    std::size_t end = region.find_first_of("\r\n", i);
    if (end == std::string_view::npos)
      end = region.size();
    out.append(region.substr(i, end - i));
    out += kCrLf;
    i = end + 1;
    if (end < region.size() && region[end] == '\r' && i < region.size() && region[i] == '\n')
      ++i;
  }
  return out;
}

bool isUnencoded(std::string_view encoding) {
  return encoding.empty() || encoding == "7bit" || encoding == "8bit" || encoding == "binary";
}

// The transfer encoding of a part: the mechanism's name, lower-cased, comments dropped.
std::string encodingOf(std::string_view headers) {
  const auto field = FieldValue(headers, "Content-Transfer-Encoding");
  return field ? ParseStructuredValue(*field).Token : std::string();
}

std::string boundaryOf(const TStructuredValue& type) {
  const std::string* boundary = type.Param("boundary");
  return boundary ? *boundary : std::string();
}

// The line break at the end of a body belongs to the delimiter that follows it.
std::string_view withoutLastBreak(std::string_view region) {
  if (!region.empty() && region.back() == '\n')
    region.remove_suffix(1);
  if (!region.empty() && region.back() == '\r')
    region.remove_suffix(1);
  return region;
}

} // namespace

std::string_view TEmailParser::ReadLine() {
  if (AtEnd())
    return {};
  const std::size_t start = NextLine;
  const std::size_t end = Text.find_first_of("\r\n", start);
  if (end == std::string_view::npos) {
    NextLine = Text.size();
    return Text.substr(start);
  }
  // CR LF, a lone CR and a lone LF all end a line; a break at the very end adds no empty line.
  NextLine = end + 1;
  if (Text[end] == '\r' && NextLine < Text.size() && Text[NextLine] == '\n')
    ++NextLine;
  return Text.substr(start, end - start);
}

bool TEmailParser::ReadHeaders(std::string& block) {
  block.clear();
  {
    // Sized once up front for the same reason as bodies: a message that is all header (no
    // empty line) must not be held twice over while its block grows.
    const std::size_t start = NextLine;
    std::size_t lines = 0;
    while (!AtEnd() && !ReadLine().empty())
      ++lines;
    block.reserve(NextLine - start + lines * kCrLf.size());
    NextLine = start;
  }
  while (!AtEnd()) {
    const std::size_t lineStart = NextLine;
    const std::string_view line = ReadLine();
    if (line.empty())
      break;
    // A delimiter ends a part even in the middle of its header block, as mail readers see it:
    // the part is then empty and the delimiter is read again as such.
    if (!Frames.empty() && line.size() >= 2 && line[0] == '-' && line[1] == '-') {
      bool closing = false;
      if (MatchDelimiter(line, closing) >= 0) {
        NextLine = lineStart;
        return true;
      }
    }
    if ((line.front() == ' ' || line.front() == '\t') && !block.empty()) {
      // A folded line joins the entry before it with nothing in between.
      block.resize(block.size() - kCrLf.size());
      block += TrimBlanks(line);
    } else {
      block += line;
    }
    block += kCrLf;
  }
  return !AtEnd();
}

std::string TEmailParser::HeaderValue(std::string_view block, std::string_view name) {
  if (!name.empty() && name.back() == ':')
    name.remove_suffix(1);
  return std::string(FieldValue(block, name).value_or(std::string_view()));
}

std::string TEmailParser::BoundaryOf(std::string_view contentType) {
  const TStructuredValue value = ParseStructuredValue(contentType);
  const std::string* boundary = value.Param("boundary");
  return boundary ? *boundary : std::string();
}

std::string TEmailParser::AttachmentName(std::string_view block) {
  const auto disposition = FieldValue(block, "Content-Disposition");
  if (!disposition)
    return {};
  const TStructuredValue value = ParseStructuredValue(*disposition);
  const std::string* name = value.Param("filename");
  return name ? DecodeEncodedWords(*name) : std::string();
}

void TEmailParser::AddPart(std::string headers, std::string_view body, std::string encoding,
                           std::string name) {
  if (Parts_.size() >= kMaxParts) {
    Full = true; // a part is dropped: the walk stops, and the caller can tell
    return;
  }
  TMailPart part;
  part.Headers = std::move(headers);
  part.Body = body;
  part.Encoding = std::move(encoding);
  part.Name = std::move(name);
  part.Message = Messages_;
  Parts_.push_back(std::move(part));
}

void TEmailParser::OpenLeaf(std::string headers, std::string name) {
  Current.Open = true;
  Current.Encoding = encodingOf(headers);
  Current.Headers = std::move(headers);
  Current.Name = std::move(name);
  Current.BodyStart = NextLine;
}

void TEmailParser::FinishLeaf(std::size_t end, bool dropLastBreak) {
  if (!Current.Open)
    return;
  Current.Open = false;
  std::string_view region = Text.substr(Current.BodyStart, end - Current.BodyStart);
  const bool plain = isUnencoded(Current.Encoding);
  if (plain && dropLastBreak)
    region = withoutLastBreak(region);
  AddPart(std::move(Current.Headers), region, std::move(Current.Encoding), std::move(Current.Name));
  if (plain)
    AddUuencodedBlocks(region);
}

// Text sent as it is may carry uuencoded files ("begin 644 name" ... "end"), as mail did before
// MIME; each becomes a part of its own under the name its begin line gives.
void TEmailParser::AddUuencodedBlocks(std::string_view body) {
  std::size_t pos = 0;
  while (!Full) {
    const std::size_t at = body.find("begin ", pos);
    if (at == std::string_view::npos)
      return;
    pos = at + 6;
    if (at != 0 && body[at - 1] != '\n' && body[at - 1] != '\r')
      continue;
    std::size_t lineEnd = body.find_first_of("\r\n", at);
    if (lineEnd == std::string_view::npos)
      lineEnd = body.size();
    const std::string_view line = body.substr(at + 6, lineEnd - at - 6);
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ')
      ++i;
    const std::size_t modeStart = i;
    while (i < line.size() && line[i] >= '0' && line[i] <= '7')
      ++i;
    if (i == modeStart || i - modeStart > 4 || i >= line.size() || line[i] != ' ')
      continue;
    std::string name = TrimBlanks(line.substr(i));
    if (name.empty())
      continue;
    // The block runs to its "end" line, or to the end of the body.
    std::size_t blockEnd = body.size();
    for (std::size_t e = body.find("end", lineEnd); e != std::string_view::npos;
         e = body.find("end", e + 3)) {
      if (body[e - 1] != '\n' && body[e - 1] != '\r')
        continue;
      std::size_t after = e + 3;
      while (after < body.size() && (body[after] == ' ' || body[after] == '\t'))
        ++after;
      if (after == body.size() || body[after] == '\r' || body[after] == '\n') {
        blockEnd = after;
        break;
      }
    }
    AddPart({}, body.substr(at, blockEnd - at), "x-uue", std::move(name));
    pos = blockEnd;
  }
}

void TEmailParser::PopFrames(std::size_t keep) {
  while (Frames.size() > keep) {
    auto it = OpenBoundaries.find(Frames.back().Boundary);
    if (it != OpenBoundaries.end() && --it->second == 0)
      OpenBoundaries.erase(it);
    Frames.pop_back();
  }
}

// Which open multipart a line that starts with "--" delimits: the index of its frame, or -1.
// The innermost multipart is asked first; a delimiter of an outer one ends every multipart
// inside it, as mail readers end them. Blanks after the delimiter are transport padding.
int TEmailParser::MatchDelimiter(std::string_view line, bool& closing) const {
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  const std::string_view asDelimiter = line.substr(2);
  const bool canClose = line.size() >= 4 && line.substr(line.size() - 2) == "--";
  const std::string_view asClosing =
      canClose ? line.substr(2, line.size() - 4) : std::string_view();
  const std::string& inner = Frames.back().Boundary;
  if (asDelimiter == inner) {
    closing = false;
    return static_cast<int>(Frames.size()) - 1;
  }
  if (canClose && asClosing == inner) {
    closing = true;
    return static_cast<int>(Frames.size()) - 1;
  }
  if (OpenBoundaries.size() < 2 && Frames.size() > 1 && OpenBoundaries.count(inner) != 0)
    return -1; // every open multipart uses the innermost one's boundary
  for (const bool close : {false, true}) {
    if (close && !canClose)
      break;
    const std::string key(close ? asClosing : asDelimiter);
    if (OpenBoundaries.find(key) == OpenBoundaries.end())
      continue;
    for (std::size_t i = Frames.size(); i-- > 0;)
      if (Frames[i].Boundary == key) {
        closing = close;
        return static_cast<int>(i);
      }
  }
  return -1;
}

// A header block has been read (a message's, or a part's after its delimiter): a multipart opens
// a frame, a forwarded message is opened where it stands (its parts are parts of this message),
// anything else is one leaf part. A forwarded message sent encoded is left whole: the unpacker
// finds it again as a message once it is decoded.
void TEmailParser::StartPart(std::string headers, bool inDigest, bool topLevel) {
  for (;;) {
    const auto typeField = FieldValue(headers, "Content-Type");
    const TStructuredValue type =
        ParseStructuredValue(typeField ? *typeField : (inDigest ? "message/rfc822" : ""));
    if (StartsWith(type.Token, "multipart")) {
      Frames.push_back({boundaryOf(type), type.Token == "multipart/digest"});
      ++OpenBoundaries[Frames.back().Boundary];
      return;
    }
    if ((type.Token == "message/rfc822" || type.Token == "message/global") &&
        isUnencoded(encodingOf(headers))) {
      std::string inner;
      ReadHeaders(inner);
      headers = std::move(inner);
      inDigest = false;
      topLevel = false;
      continue;
    }
    std::string name = AttachmentName(headers);
    if (name.empty() && topLevel)
      name = "MainBody";
    OpenLeaf(std::move(headers), std::move(name));
    return;
  }
}

// Walks one message from its header block to the end of the text or to the next mbox "From "
// line; false when the text ended.
bool TEmailParser::WalkMessage(bool mbox) {
  ++Messages_;
  std::string headers;
  ReadHeaders(headers);
  if (Messages_ == 1)
    HeaderLines_ = headers;
  StartPart(std::move(headers), false, true);
  bool afterEmptyLine = true;
  while (!AtEnd() && !Full) {
    const std::size_t lineStart = NextLine;
    const std::string_view line = ReadLine();
    if (mbox && afterEmptyLine && StartsWith(line, "From ")) {
      // The empty line before the separator is the mbox file's, not the message's.
      FinishLeaf(lineStart, true);
      NextLine = lineStart;
      return true;
    }
    afterEmptyLine = line.empty();
    if (Frames.empty() || line.size() < 2 || line[0] != '-' || line[1] != '-')
      continue;
    bool closing = false;
    const int frame = MatchDelimiter(line, closing);
    if (frame < 0)
      continue;
    FinishLeaf(lineStart, true);
    PopFrames(static_cast<std::size_t>(frame) + (closing ? 0 : 1));
    if (closing)
      continue; // the epilogue, up to the enclosing multipart's next delimiter, is skipped
    const bool digest = Frames.back().Digest;
    if (!ReadHeaders(headers)) {
      NextLine = Text.size(); // a header block that runs to the end is not a part
      break;
    }
    StartPart(std::move(headers), digest, false);
    afterEmptyLine = true;
  }
  FinishLeaf(Text.size(), false);
  return false;
}

void TEmailParser::Walk() {
  HeaderLines_.clear();
  Parts_.clear();
  Full = false;
  Messages_ = 0;
  NextLine = 0;
  // A file that starts with the mbox "From " line may hold many messages, each begun by one.
  const bool mbox = StartsWith(Text, "From ");
  while (WalkMessage(mbox) && !Full) {
    Frames.clear();
    OpenBoundaries.clear();
  }
  Frames.clear();
  OpenBoundaries.clear();
  Current = Leaf();
  Text = {};
  NextLine = 0;
}

bool TEmailParser::ParseText(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::byte*>(text.data());
  Owned_.assign(bytes, bytes + text.size());
  Text = std::string_view(reinterpret_cast<const char*>(Owned_.data()), Owned_.size());
  Walk();
  return true;
}

bool TEmailParser::Parse() {
  auto bytes = platform::readWholeFile(FileName, kMaxMessageBytes);
  if (!bytes) {
    if (auto file = platform::File::openRead(FileName); file && file->size() > kMaxMessageBytes)
      throw Error(ErrorKind::Limit, "a message larger than " +
                                        std::to_string(kMaxMessageBytes >> 20) +
                                        " MiB is not unpacked");
    throw Error(ErrorKind::Io, FileName + ": cannot read the file");
  }
  Owned_ = std::move(*bytes);
  Text = std::string_view(reinterpret_cast<const char*>(Owned_.data()), Owned_.size());
  Walk();
  return true;
}

bool TEmailParser::WritePart(const TMailPart& part, ByteSink& out) {
  const std::string& enc = part.Encoding;
  if (isUnencoded(enc))
    return part.Body.empty() || out.write(asBytes(part.Body));
  // Base64 passes over every character outside its alphabet, line breaks of any kind included,
  // so it decodes the text as it stands; the line-based decoders read CR LF line ends.
  if (enc == "base64")
    return DecodeBase64(part.Body, out);
  if (enc == "quoted-printable")
    return DecodeQuotedPrintable(linesWithCrLf(part.Body), out);
  // The other names uuencoded attachments go by are decoded the same way.
  if (enc == "x-uue" || enc == "x-uuencode" || enc == "uuencode" || enc == "uue")
    return DecodeUUE(linesWithCrLf(part.Body), out);
  return true;
}

} // namespace kyv::mail
