#include "document/pdf_file.h"

#include <algorithm>
#include <string_view>

#include "document/pdf_parser.h"

namespace kyv::document {

namespace {

constexpr std::string_view kObj = "obj";
constexpr std::string_view kEndStream = "endstream";
constexpr std::string_view kTrailer = "trailer";
constexpr std::string_view kStream = "stream";
// Digits of an object or generation number in a header: object numbers of real files have at
// most 7, generations at most 5.
constexpr std::size_t kMaxNumberDigits = 10;
// Blanks tolerated between a stream's data, as /Length gives it, and "endstream".
constexpr std::size_t kMaxBlanksBeforeEnd = 64;
// A trailer dictionary holds a handful of keys; 64 KiB is far more than any needs.
constexpr std::size_t kMaxTrailerBytes = 64 * 1024;

bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

std::string_view asText(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::vector<std::size_t> findAll(std::string_view text, std::string_view word) {
  std::vector<std::size_t> at;
  for (std::size_t p = text.find(word); p != std::string_view::npos; p = text.find(word, p + 1))
    at.push_back(p);
  return at;
}

// The number written in text[from, to), when it is one of at most kMaxNumberDigits digits that
// fits 32 bits.
std::optional<std::uint32_t> readNumber(std::string_view text, std::size_t from, std::size_t to) {
  if (to <= from || to - from > kMaxNumberDigits)
    return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = from; i < to; ++i)
    v = v * 10 + static_cast<std::uint64_t>(text[i] - '0');
  if (v > UINT32_MAX)
    return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

} // namespace

PdfFile::PdfFile(std::span<const std::byte> bytes) : bytes_(bytes) {
  findHeaders();
  streamEnds_ = findAll(asText(bytes_), kEndStream);
  // Objects are read in file order; a stream's data is not searched for headers of its own (an
  // uncompressed document carried inside is delivered and opened as a member, not mixed into
  // this one's objects).
  std::size_t resume = 0;
  for (std::size_t i = 0; i < headers_.size(); ++i) {
    if (headers_[i].offset < resume)
      continue;
    const std::size_t bodyEnd = i + 1 < headers_.size() ? headers_[i + 1].offset : bytes_.size();
    readObject(headers_[i], bodyEnd, resume);
  }
  for (std::size_t i = 0; i < objects_.size(); ++i)
    lastObject_[objects_[i].id] = i;
  readTrailers();
}

void PdfFile::findHeaders() {
  const std::string_view text = asText(bytes_);
  for (const std::size_t p : findAll(text, kObj)) {
    const std::size_t after = p + kObj.size();
    if (after < text.size() && !isPdfBlank(static_cast<std::uint8_t>(text[after])) &&
        !isPdfDelimiter(static_cast<std::uint8_t>(text[after])))
      continue; // "object", "objstm": a longer word
    // Backwards: blanks, the generation, blanks, the object number, and a boundary before it.
    std::size_t q = p;
    const auto skipBlanks = [&] {
      const std::size_t from = q;
      while (q > 0 && isPdfBlank(static_cast<std::uint8_t>(text[q - 1])))
        --q;
      return q < from;
    };
    const auto skipDigits = [&] {
      const std::size_t to = q;
      while (q > 0 && to - q <= kMaxNumberDigits && isDigit(static_cast<std::uint8_t>(text[q - 1])))
        --q;
      return to;
    };
    if (!skipBlanks())
      continue;
    const std::size_t genEnd = skipDigits();
    const std::size_t genStart = q;
    if (!skipBlanks())
      continue;
    const std::size_t numEnd = skipDigits();
    const std::size_t numStart = q;
    if (numStart > 0) {
      const auto before = static_cast<std::uint8_t>(text[numStart - 1]);
      if (!isPdfBlank(before) && !isPdfDelimiter(before))
        continue;
    }
    const auto number = readNumber(text, numStart, numEnd);
    const auto generation = readNumber(text, genStart, genEnd);
    if (!number || !generation)
      continue;
    headers_.push_back({{*number, *generation}, numStart, after});
  }
  for (std::size_t i = 0; i < headers_.size(); ++i)
    lastHeader_[headers_[i].id] = i;
}

void PdfFile::readObject(const Header& header, std::size_t bodyEnd, std::size_t& resume) {
  PdfObjectEntry entry;
  entry.id = header.id;
  entry.offset = header.offset;
  entry.bodyStart = header.bodyStart;
  entry.bodyEnd = bodyEnd;
  PdfParser parser(bytes_, header.bodyStart, bodyEnd);
  std::optional<PdfObject> v = parser.next();
  if (v && v->kind == PdfKind::Dict) {
    const std::size_t afterDict = parser.position();
    (void)parser.next();
    if (parser.keyword() == kStream) {
      // The data starts after the end of line that follows the keyword (CR LF or LF; a lone CR
      // and blanks before the end of line are tolerated, as readers do).
      std::size_t s = parser.position();
      const auto at = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes_[i]); };
      while (s < bytes_.size() && (at(s) == ' ' || at(s) == '\t'))
        ++s;
      if (s < bytes_.size() && at(s) == '\r')
        ++s;
      if (s < bytes_.size() && at(s) == '\n')
        ++s;
      entry.isStream = true;
      entry.dataStart = s;
      entry.dict = std::move(*v);
      findStreamEnd(entry);
      resume = entry.dataEnd;
    } else {
      parser.seek(afterDict);
      entry.dict = std::move(*v); // kept only for streams; cleared below
    }
  }
  if (!entry.isStream)
    entry.dict = PdfObject();
  objects_.push_back(std::move(entry));
}

std::optional<std::int64_t> PdfFile::directLength(const PdfObject* length) const {
  if (length == nullptr)
    return std::nullopt;
  if (length->isInt())
    return length->number;
  if (length->kind != PdfKind::Ref)
    return std::nullopt;
  // The length may be an object written after the stream, so look among the headers.
  const auto it =
      lastHeader_.find({static_cast<std::uint32_t>(length->number), length->generation});
  if (it == lastHeader_.end())
    return std::nullopt;
  const Header& h = headers_[it->second];
  const std::size_t end =
      it->second + 1 < headers_.size() ? headers_[it->second + 1].offset : bytes_.size();
  PdfParser parser(bytes_, h.bodyStart, end);
  const std::optional<PdfObject> v = parser.next();
  if (v && v->isInt())
    return v->number;
  return std::nullopt;
}

void PdfFile::findStreamEnd(PdfObjectEntry& entry) const {
  const std::string_view text = asText(bytes_);
  const std::size_t s = entry.dataStart;
  // The length written in the dictionary, when it lands on "endstream".
  if (const auto length = directLength(entry.dict.get("Length"));
      length && *length >= 0 && static_cast<std::uint64_t>(*length) <= text.size() - s) {
    std::size_t e = s + static_cast<std::size_t>(*length);
    std::size_t p = e;
    while (p < text.size() && p - e < kMaxBlanksBeforeEnd &&
           isPdfBlank(static_cast<std::uint8_t>(text[p])))
      ++p;
    if (text.substr(p, kEndStream.size()) == kEndStream) {
      entry.dataEnd = e;
      return;
    }
  }
  // Otherwise the first "endstream" after the data's start, less the end of line before it.
  const auto it = std::lower_bound(streamEnds_.begin(), streamEnds_.end(), s);
  if (it == streamEnds_.end()) {
    entry.dataEnd = std::max(s, entry.bodyEnd); // cut off: the data runs to the next header
    return;
  }
  std::size_t e = *it;
  if (e > s && text[e - 1] == '\n')
    --e;
  if (e > s && text[e - 1] == '\r')
    --e;
  entry.dataEnd = e;
}

const PdfObjectEntry* PdfFile::find(PdfId id) const {
  const auto it = lastObject_.find(id);
  return it == lastObject_.end() ? nullptr : &objects_[it->second];
}

PdfObject PdfFile::value(const PdfObjectEntry& entry) const {
  if (entry.isStream)
    return entry.dict;
  PdfParser parser(bytes_, entry.bodyStart, entry.bodyEnd);
  std::optional<PdfObject> v = parser.next();
  return v ? std::move(*v) : PdfObject();
}

PdfObject PdfFile::resolve(const PdfObject& v) const {
  if (v.kind != PdfKind::Ref)
    return v;
  const PdfObjectEntry* entry = find({static_cast<std::uint32_t>(v.number), v.generation});
  return entry != nullptr ? value(*entry) : PdfObject();
}

void PdfFile::readTrailers() {
  // Classic trailers. Each is read up to the next one, and never further than a trailer
  // dictionary of a few keys needs, so that a file of nothing but "trailer <<" costs its length.
  const std::vector<std::size_t> trailers = findAll(asText(bytes_), kTrailer);
  for (std::size_t i = 0; i < trailers.size(); ++i) {
    const std::size_t p = trailers[i];
    const std::size_t next = i + 1 < trailers.size() ? trailers[i + 1] : bytes_.size();
    PdfParser parser(bytes_, p + kTrailer.size(), std::min(next, p + kMaxTrailerBytes));
    const std::optional<PdfObject> v = parser.next();
    if (v && v->kind == PdfKind::Dict)
      takeTrailer(*v, p);
  }
  // Cross-reference streams carry the trailer's keys in their dictionaries.
  for (const PdfObjectEntry& entry : objects_)
    if (entry.isStream && entry.dict.get("Type") != nullptr &&
        entry.dict.get("Type")->isName("XRef"))
      takeTrailer(entry.dict, entry.offset);
}

void PdfFile::takeTrailer(const PdfObject& dict, std::size_t at) {
  // Any trailer that names an encryption counts, the last one in the file first: a later one
  // without it must not make an encrypted document look plain.
  if (const PdfObject* e = dict.get("Encrypt");
      e != nullptr && e->kind != PdfKind::Null &&
      (encrypt_.kind == PdfKind::Null || at >= encryptAt_)) {
    encrypt_ = *e;
    encryptAt_ = at;
  }
  if (const PdfObject* id = dict.get("ID"); id != nullptr && id->kind == PdfKind::Array &&
                                            (fileId_.kind == PdfKind::Null || at >= idAt_)) {
    fileId_ = *id;
    idAt_ = at;
  }
}

} // namespace kyv::document
