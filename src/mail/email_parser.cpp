#include "mail/email_parser.h"

#include <cstring>

#include "base/endian.h"
#include "base/error.h"
#include "base/text.h"
#include "mail/transfer_decoders.h"
#include "platform/file.h"

namespace kyv::mail {
namespace {

constexpr std::string_view kCrLf = "\r\n";
// BoundaryOf looks at no more than this many characters after the parameter name; longer
// boundaries (RFC 2046 allows 70) are cut here.
constexpr std::size_t kBoundaryWindow = 500;

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = lowerAscii(c);
  return out;
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoreAsciiCase(text.substr(0, prefix.size()), prefix);
}

// First position of needle (all lower case) in text, letters compared in any case.
std::size_t findIgnoreCase(std::string_view text, std::string_view needle) {
  if (needle.size() > text.size())
    return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
    std::size_t k = 0;
    while (k < needle.size() && lowerAscii(text[i + k]) == needle[k])
      ++k;
    if (k == needle.size())
      return i;
  }
  return std::string_view::npos;
}

std::string_view stripQuotes(std::string_view text) {
  if (!text.empty() && text.front() == '"')
    text.remove_prefix(1);
  if (!text.empty() && text.back() == '"')
    text.remove_suffix(1);
  return text;
}

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
    const std::string_view line = ReadLine();
    if (line.empty())
      break;
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
  std::size_t pos = 0;
  while (pos < block.size()) {
    std::size_t end = block.find(kCrLf, pos);
    if (end == std::string_view::npos)
      end = block.size();
    const std::string_view entry = block.substr(pos, end - pos);
    if (startsWithIgnoreCase(entry, name))
      return TrimBlanks(entry.substr(name.size()));
    pos = end + kCrLf.size();
  }
  return {};
}

std::string TEmailParser::BoundaryOf(std::string_view contentType) {
  const std::string value = TrimBlanks(contentType);
  // Mail clients honour the parameter name in any letter case, so the scanner must too.
  const std::size_t at = findIgnoreCase(value, "boundary");
  if (value.empty() || at == std::string_view::npos)
    return {};
  std::string rest = TrimBlanks(std::string_view(value).substr(at + 8, kBoundaryWindow));
  if (rest.empty() || rest.front() != '=')
    return {};
  rest.erase(0, 1);
  if (const std::size_t semi = rest.find(';'); semi != std::string::npos)
    rest.erase(semi);
  rest = TrimBlanks(rest);
  return std::string(stripQuotes(rest));
}

std::string TEmailParser::AttachmentName(std::string_view block) {
  const std::string value = HeaderValue(block, "Content-Disposition:");
  const std::size_t at = findIgnoreCase(value, "filename=");
  if (at == std::string_view::npos)
    return {};
  // From the "=" on, which is then dropped. Parameters after the name are not cut off.
  std::string rest = TrimBlanks(std::string_view(value).substr(at + 8));
  rest.erase(0, 1);
  rest = TrimBlanks(rest);
  return std::string(stripQuotes(rest));
}

void TEmailParser::AddPart(std::string headers, std::string body, const std::string& name) {
  if (Full)
    return;
  TMailPart part;
  part.Encoding = lowerAscii(TrimBlanks(HeaderValue(headers, "Content-Transfer-Encoding:")));
  part.Headers = std::move(headers);
  part.Body = std::move(body);
  part.Name = name;
  Parts_.push_back(std::move(part));
  Full = Parts_.size() >= kMaxParts;
}

void TEmailParser::ParseMultipart(const std::string& boundary, int depth) {
  const std::string delimiter = "--" + boundary;
  const std::string closing = delimiter + "--";
  std::string headers;
  bool collecting = false;
  // A part's body lines lie together in the text, from the end of its header block to the
  // start of the next delimiter line; the body is made from that stretch in one go.
  std::size_t bodyStart = 0;
  while (!AtEnd() && !Full) {
    bool closed = false;
    std::size_t bodyEnd = Text.size();
    while (!AtEnd()) {
      const std::size_t lineStart = NextLine;
      const std::string_view line = ReadLine();
      if (line == delimiter || line == closing) {
        closed = line == closing;
        bodyEnd = lineStart;
        break;
      }
    }
    if (collecting) {
      const std::string name = AttachmentName(headers);
      AddPart(std::move(headers), linesWithCrLf(Text.substr(bodyStart, bodyEnd - bodyStart)), name);
      collecting = false;
    }
    headers.clear();
    if (closed || AtEnd() || Full)
      return;
    if (!ReadHeaders(headers))
      return; // a header block that runs to the end is not a part
    const std::string ct = HeaderValue(headers, "Content-Type:");
    // Past the depth cap a nested multipart is kept whole as one part, so nothing is dropped.
    if (startsWithIgnoreCase(ct, "multipart") && depth < kMaxMultipartDepth) {
      ParseMultipart(BoundaryOf(ct), depth + 1);
      // The lines after the nested closing delimiter, up to this level's next one, are skipped.
      continue;
    }
    collecting = true;
    bodyStart = NextLine;
  }
}

void TEmailParser::Walk() {
  HeaderLines_.clear();
  Parts_.clear();
  Full = false;
  NextLine = 0;
  // A NUL ends the text, as it ends a C string.
  if (const std::size_t nul = Text.find('\0'); nul != std::string_view::npos)
    Text = Text.substr(0, nul);

  ReadHeaders(HeaderLines_);
  const std::string ct = HeaderValue(HeaderLines_, "Content-Type:");
  // The media type in any letter case: mail clients show such parts as attachments.
  if (startsWithIgnoreCase(ct, "multipart")) {
    ParseMultipart(BoundaryOf(ct), 1);
  } else {
    std::string body = linesWithCrLf(Text.substr(NextLine));
    NextLine = Text.size();
    std::string name = AttachmentName(HeaderLines_);
    if (name.empty())
      name = "MainBody";
    AddPart(HeaderLines_, std::move(body), name);
  }
  Text = {};
  NextLine = 0;
}

bool TEmailParser::ParseText(std::string_view text) {
  Text = text;
  Walk();
  return true;
}

bool TEmailParser::Parse() {
  auto bytes = platform::readWholeFile(FileName, kMaxMessageBytes);
  if (!bytes) {
    if (auto file = platform::File::openRead(FileName); file && file->size() > kMaxMessageBytes)
      throw Error(ErrorKind::Limit, FileName + ": message larger than " +
                                        std::to_string(kMaxMessageBytes >> 20) + " MB");
    throw Error(ErrorKind::Io, FileName + ": cannot read the file");
  }
  Text = std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  Walk();
  return true;
}

bool TEmailParser::WritePart(const TMailPart& part, ByteSink& out) {
  const std::string& enc = part.Encoding;
  if (enc.empty() || enc == "7bit" || enc == "8bit" || enc == "binary")
    return part.Body.empty() || out.write(asBytes(part.Body));
  if (enc == "quoted-printable")
    return DecodeQuotedPrintable(part.Body, out);
  if (enc == "base64")
    return DecodeBase64(part.Body, out);
  // The other names uuencoded attachments go by are decoded the same way.
  if (enc == "x-uue" || enc == "x-uuencode" || enc == "uuencode" || enc == "uue")
    return DecodeUUE(part.Body, out);
  return true;
}

} // namespace kyv::mail
