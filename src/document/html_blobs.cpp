#include "document/html_blobs.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "document/html_blob_writer.h"
#include "document/html_escapes.h"
#include "document/html_script.h"

namespace kyv::document {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// word must be lower case.
bool startsWithNoCase(std::string_view text, std::size_t pos, std::string_view word) {
  if (pos > text.size() || word.size() > text.size() - pos)
    return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (lower(text[pos + i]) != word[i])
      return false;
  return true;
}

// A tag name (lower case, with its "<") at pos, ended by a blank, "/", ">" or the text's end.
bool tagAt(std::string_view text, std::size_t pos, std::string_view tag) {
  if (!startsWithNoCase(text, pos, tag))
    return false;
  const std::size_t after = pos + tag.size();
  if (after == text.size())
    return true;
  const char c = text[after];
  return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// The first position at or after from where the tag stands.
std::size_t findTag(std::string_view text, std::size_t from, std::string_view tag) {
  while (from < text.size()) {
    const void* lt = std::memchr(text.data() + from, '<', text.size() - from);
    if (lt == nullptr)
      return std::string_view::npos;
    from = static_cast<std::size_t>(static_cast<const char*>(lt) - text.data());
    if (tagAt(text, from, tag))
      return from;
    ++from;
  }
  return std::string_view::npos;
}

// Extensions for the media types that files are sent as; anything else is ".bin".
constexpr std::array<std::pair<std::string_view, std::string_view>, 30> kExtensions{{
    {"application/octet-stream", "bin"},
    {"application/zip", "zip"},
    {"application/x-zip-compressed", "zip"},
    {"application/x-rar-compressed", "rar"},
    {"application/vnd.rar", "rar"},
    {"application/x-7z-compressed", "7z"},
    {"application/gzip", "gz"},
    {"application/x-gzip", "gz"},
    {"application/x-msdownload", "exe"},
    {"application/x-msdos-program", "exe"},
    {"application/vnd.microsoft.portable-executable", "exe"},
    {"application/x-iso9660-image", "iso"},
    {"application/pdf", "pdf"},
    {"application/msword", "doc"},
    {"application/vnd.ms-excel", "xls"},
    {"application/rtf", "rtf"},
    {"application/javascript", "js"},
    {"text/javascript", "js"},
    {"application/json", "json"},
    {"text/html", "html"},
    {"text/plain", "txt"},
    {"text/css", "css"},
    {"image/svg+xml", "svg"},
    {"image/png", "png"},
    {"image/jpeg", "jpg"},
    {"image/gif", "gif"},
    {"image/webp", "webp"},
    {"image/x-icon", "ico"},
    {"font/woff", "woff"},
    {"font/woff2", "woff2"},
}};

std::string_view extensionFor(std::string_view mediaType) {
  for (const auto& [type, extension] : kExtensions)
    if (type == mediaType)
      return extension;
  return "bin";
}

// The longest "<type>/<subtype>;<parameters>" of a data: URI looked at; real ones are a few
// dozen characters, and the bound keeps a page full of "data:" words linear.
constexpr std::size_t kMaxDataHeader = 256;

// Characters that cannot stand in a data: URI's media type and parameters (they end an
// attribute value or a CSS url(), or belong to the text around it).
bool endsHeader(char c) {
  return c == '"' || c == '\'' || c == '`' || c == '<' || c == '>' || c == '(' || c == ')' ||
         c == ':' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\\';
}

class PageScanner {
public:
  PageScanner(std::string_view text, HtmlBlobTarget& target) : text_(text), writer_(target) {}
  void Run();

private:
  std::size_t dataUri(std::size_t at);
  void script(std::size_t at);

  std::string_view text_;
  HtmlBlobWriter writer_;
  // Script content up to here has been searched for strings already.
  std::size_t scriptsDone_ = 0;
};

// "data:" stands at at; returns where the search goes on.
std::size_t PageScanner::dataUri(std::size_t at) {
  std::size_t i = at + 5;
  const std::size_t headerEnd = std::min(text_.size(), i + kMaxDataHeader);
  std::size_t comma = i;
  while (comma < headerEnd && text_[comma] != ',' && !endsHeader(text_[comma]))
    ++comma;
  if (comma >= headerEnd || text_[comma] != ',')
    return comma;
  std::string header(text_.substr(i, comma - i));
  std::transform(header.begin(), header.end(), header.begin(), lower);
  constexpr std::string_view kBase64 = ";base64";
  if (header.size() < kBase64.size() ||
      header.compare(header.size() - kBase64.size(), kBase64.size(), kBase64) != 0)
    return comma + 1;
  const std::string_view mediaType = std::string_view(header).substr(0, header.find(';'));
  writer_.Start(HtmlBlobKind::DataUri, extensionFor(mediaType), 1);
  // The payload runs as far as base64 does; blanks are skipped, "=" only ends it. A URI inside
  // a script string or an attribute may carry any of the escapes.
  constexpr unsigned kEscapes = kJsEscapes | kCharRefs | kPercentEscapes;
  bool padded = false;
  i = comma + 1;
  while (i < text_.size() && !writer_.Stopped()) {
    if (const std::size_t run = Base64RunAt(text_, i); run != 0 && !padded) {
      writer_.Put(text_.substr(i, run));
      i += run;
      continue;
    }
    const TextUnit unit = DecodeUnit(text_, i, kEscapes);
    if (IsBase64Char(unit.Value) && !padded)
      writer_.Put(static_cast<char>(unit.Value));
    else if (unit.Value == '=')
      padded = true;
    else if (!IsBase64Blank(unit.Value))
      break;
    i += unit.Length;
  }
  writer_.Finish();
  return i;
}

// "<script" stands at at: its content is searched for strings, once.
void PageScanner::script(std::size_t at) {
  if (at < scriptsDone_ || !tagAt(text_, at, "<script"))
    return;
  // Whatever stands before the tag's end is part of the tag, other "<script" words included;
  // none of it is looked at again.
  const std::size_t gt = text_.find('>', at);
  if (gt == std::string_view::npos) {
    scriptsDone_ = text_.size();
    return;
  }
  scriptsDone_ = gt + 1;
  if (text_[gt - 1] == '/')
    return; // <script .../> in SVG: no content
  // Script content ends at the first "</script", whatever the script's own syntax says.
  const std::size_t start = gt + 1;
  std::size_t end = findTag(text_, start, "</script");
  if (end == std::string_view::npos)
    end = text_.size();
  FindScriptBlobs(text_.substr(start, end - start), writer_);
  scriptsDone_ = end;
}

// Where the next "data:" at or after from stands. Colons are rare in pages and found by the
// library's byte search, so ordinary text costs little.
std::size_t findDataScheme(std::string_view text, std::size_t from) {
  constexpr std::size_t kScheme = 4; // "data" before the colon
  for (std::size_t at = from + kScheme; at < text.size(); ++at) {
    const void* colon = std::memchr(text.data() + at, ':', text.size() - at);
    if (colon == nullptr)
      break;
    at = static_cast<std::size_t>(static_cast<const char*>(colon) - text.data());
    if (startsWithNoCase(text, at - kScheme, "data"))
      return at - kScheme;
  }
  return std::string_view::npos;
}

// The two searches run side by side, each through the page once: a script's content is searched
// for strings when the scan reaches its tag, and for data: URIs like the rest of the page.
void PageScanner::Run() {
  std::size_t nextScript = findTag(text_, 0, "<script");
  std::size_t nextData = findDataScheme(text_, 0);
  while (!writer_.Stopped() &&
         (nextScript != std::string_view::npos || nextData != std::string_view::npos)) {
    if (nextScript < nextData) {
      script(nextScript);
      nextScript = findTag(text_, std::max(nextScript + 1, scriptsDone_), "<script");
    } else {
      nextData = findDataScheme(text_, dataUri(nextData));
    }
  }
}

// How far into a text head "<html" or "<script" is looked for.
constexpr std::size_t kMarkupSearch = 1024;

constexpr std::array<std::string_view, 6> kPageStarts{"<!doctype html", "<html",   "<head",
                                                      "<body",          "<script", "<svg"};

} // namespace

void FindHtmlBlobs(std::string_view text, HtmlBlobTarget& target) {
  PageScanner(text, target).Run();
}

bool LooksLikeHtml(std::span<const std::byte> head) {
  std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
  // The head sample is padded with zeros: it ends at its first NUL, and a NUL in the first KiB
  // is not text.
  text = text.substr(0, text.find('\0'));
  if (text.substr(0, 3) == "\xEF\xBB\xBF")
    text.remove_prefix(3);
  const std::size_t first = text.find_first_not_of(" \t\r\n\f");
  if (first == std::string_view::npos)
    return false;
  for (const std::string_view start : kPageStarts)
    if (tagAt(text, first, start))
      return true;
  if (startsWithNoCase(text, first, "<?xml") &&
      findTag(text, first, "<svg") != std::string_view::npos)
    return true;
  // Otherwise markup near the start of a text: every byte before it must be text.
  const std::string_view start = text.substr(0, kMarkupSearch);
  std::size_t markup = std::min(findTag(start, 0, "<html"), findTag(start, 0, "<script"));
  if (markup == std::string_view::npos)
    return false;
  return std::all_of(
      start.begin(), start.begin() + static_cast<std::ptrdiff_t>(markup), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 ? u != 0x7F : (u == '\t' || u == '\n' || u == '\r' || u == '\f');
      });
}

} // namespace kyv::document
