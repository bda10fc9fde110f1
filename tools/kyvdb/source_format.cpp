#include "source_format.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/endian.h"
#include "base/text.h"
#include "base/utf.h"
#include "platform/codepages.h"

namespace kyv::kyvdb {

using engine::TKYVNeuro;
using engine::TKYVScript;
using engine::TVirusDescr;

std::string Escape(std::string_view text) {
  if (text.empty())
    return "%";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == '%' || u == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

std::vector<std::string_view> splitTokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  std::size_t pos = 0;
  while (pos < line.size()) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
      ++pos;
    const std::size_t start = pos;
    while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t')
      ++pos;
    if (pos > start)
      tokens.push_back(line.substr(start, pos - start));
  }
  return tokens;
}

std::uint64_t parseUnsigned(std::string_view token, int base, std::uint64_t max, const char* what) {
  if (token.empty())
    throw std::invalid_argument(std::string("missing ") + what);
  std::uint64_t v = 0;
  for (const char c : token) {
    const int d = HexDigitValue(c);
    if (d < 0 || d >= base)
      throw std::invalid_argument(std::string("bad ") + what + " \"" + std::string(token) + "\"");
    v = v * static_cast<unsigned>(base) + static_cast<unsigned>(d);
    if (v > max)
      throw std::invalid_argument(std::string(what) + " out of range: " + std::string(token));
  }
  return v;
}

std::uint32_t parseHex32(std::string_view token, const char* what) {
  if (token.starts_with("0x") || token.starts_with("0X"))
    token.remove_prefix(2);
  return static_cast<std::uint32_t>(parseUnsigned(token, 16, 0xFFFFFFFFu, what));
}

double parseDouble(std::string_view token, const char* what) {
  const std::string s(token);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(v))
    throw std::invalid_argument(std::string("bad ") + what + " \"" + s + "\"");
  return v;
}

engine::Real6 parseMinVersion(std::string_view token) {
  // Six hexadecimal bytes separated by colons give the stored form exactly; anything else is a
  // decimal number rounded to the nearest stored value.
  if (token.size() == 17 && token[2] == ':') {
    engine::Real6 r;
    for (std::size_t k = 0; k < 6; ++k) {
      if (k > 0 && token[3 * k - 1] != ':')
        throw std::invalid_argument("bad min-version bytes");
      r.Bytes[k] = static_cast<std::uint8_t>(
          parseUnsigned(token.substr(3 * k, 2), 16, 255, "min-version byte"));
    }
    return r;
  }
  return engine::Real6::fromDouble(parseDouble(token, "min-version"));
}

TVirusDescr parseSig(const std::vector<std::string_view>& t) {
  if (t.size() < 7)
    throw std::invalid_argument("a sig line needs a name, a size and four sums");
  TVirusDescr d;
  d.Name = UnescapeName(t[1]);
  const std::string_view size = t[2];
  const std::size_t dash = size.find('-');
  constexpr std::uint64_t kMaxSize = 0x7FFFFFFF;
  if (dash == std::string_view::npos) {
    d.MinSize = d.MaxSize = static_cast<std::int32_t>(parseUnsigned(size, 10, kMaxSize, "size"));
  } else {
    d.MinSize =
        static_cast<std::int32_t>(parseUnsigned(size.substr(0, dash), 10, kMaxSize, "size"));
    d.MaxSize =
        static_cast<std::int32_t>(parseUnsigned(size.substr(dash + 1), 10, kMaxSize, "size"));
    if (d.MinSize > d.MaxSize)
      throw std::invalid_argument("size range " + std::string(size) + " is empty");
  }
  for (std::size_t j = 0; j < 4; ++j)
    d.Sums[j] = parseHex32(t[3 + j], "sum");
  for (std::size_t k = 7; k < t.size(); ++k) {
    if (t[k].starts_with("flags=")) {
      const std::uint32_t f = parseHex32(t[k].substr(6), "flags");
      if (f & ~static_cast<std::uint32_t>(engine::flag::Semantic))
        throw std::invalid_argument("flags may hold only the bits 08, 10 and 40");
      d.Flags = static_cast<std::uint8_t>(f);
    } else if (t[k].starts_with("extra=")) {
      d.Extra = parseHex32(t[k].substr(6), "extra");
    } else {
      throw std::invalid_argument("unknown field \"" + std::string(t[k]) + "\"");
    }
  }
  return d;
}

} // namespace

std::string Unescape(std::string_view token) {
  if (token == "%")
    return {};
  std::string out;
  for (std::size_t k = 0; k < token.size(); ++k) {
    if (token[k] != '%') {
      out += token[k];
      continue;
    }
    if (token.size() - k < 3)
      throw std::invalid_argument("incomplete %XX escape");
    const int hi = HexDigitValue(token[k + 1]);
    const int lo = HexDigitValue(token[k + 2]);
    if (hi < 0 || lo < 0)
      throw std::invalid_argument("bad %XX escape");
    out += static_cast<char>(hi * 16 + lo);
    k += 2;
  }
  return out;
}

std::string NameToCodePage(std::string_view text, bool* lossy) {
  platform::ConversionNotes notes;
  std::string converted = platform::utf8ToCp1251(text, &notes);
  if (notes.malformed)
    return std::string(text);
  if (lossy != nullptr && notes.unmappable)
    *lossy = true;
  return converted;
}

std::string EscapeName(std::string_view cp1251) {
  std::string out;
  for (const char c : cp1251) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80)
      appendUtf8(out, platform::cp1251ToUnicode(u));
    else
      out += Escape(std::string_view(&c, 1));
  }
  return out.empty() ? "%" : out;
}

std::string UnescapeName(std::string_view token, bool* lossy) {
  if (token == "%")
    return {};
  std::string out;
  std::size_t k = 0;
  while (k < token.size()) {
    const std::size_t escape = std::min(token.find('%', k), token.size());
    out += NameToCodePage(token.substr(k, escape - k), lossy);
    if (escape == token.size())
      break;
    out += Unescape(token.substr(escape, 3)); // throws on a short or bad escape
    k = escape + 3;
  }
  return out;
}

bool CanNeverMatch(const TVirusDescr& d) {
  return d.Sums[0] == 0 && d.Sums[1] == 0 && d.Sums[2] == 0 && d.Sums[3] == 0;
}

Source ParseSource(std::string_view text) {
  Source source;
  std::size_t lineNo = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    const std::vector<std::string_view> t = splitTokens(line);
    if (t.empty() || t[0].starts_with("#"))
      continue;
    try {
      if (t[0] == "sig") {
        source.Descriptors.push_back(parseSig(t));
        bool lossy = false;
        UnescapeName(t[1], &lossy);
        const std::string where = "line " + std::to_string(lineNo) + ": " + std::string(t[1]);
        if (lossy)
          source.Warnings.push_back(where + ": characters Windows-1251 lacks are stored as '?'");
        if (CanNeverMatch(source.Descriptors.back()))
          source.Warnings.push_back(where + ": all four sums are 0, so it can never match");
      } else if (t[0] == "script") {
        if (t.size() != 3)
          throw std::invalid_argument("a script line is: script ID TEXT");
        TKYVScript s;
        const bool negative = t[1].starts_with("-");
        const std::uint64_t v = parseUnsigned(negative ? t[1].substr(1) : t[1], 10,
                                              negative ? 0x80000000u : 0x7FFFFFFFu, "script id");
        s.Id = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                        : static_cast<std::int32_t>(v);
        s.Text = Unescape(t[2]);
        if (s.Text.empty() || s.Text.size() > 0xFFFF)
          throw std::invalid_argument("a script text must be 1 to 65535 bytes");
        source.Scripts.push_back(std::move(s));
      } else if (t[0] == "neuro") {
        if (t.size() != 3)
          throw std::invalid_argument("a neuro line is: neuro NAME DATA");
        TKYVNeuro n{UnescapeName(t[1]), Unescape(t[2])};
        if (n.Name.empty() || n.Name.size() > 255 || n.Data.empty() || n.Data.size() > 0xFFFF)
          throw std::invalid_argument("a neural name must be 1 to 255 bytes, its data 1 to 65535");
        source.NeuroItems.push_back(std::move(n));
      } else if (t[0] == "stamp" && t.size() == 2) {
        source.Stamp = parseDouble(t[1], "stamp");
      } else if (t[0] == "min-version" && t.size() == 2) {
        source.MinVersion = parseMinVersion(t[1]);
      } else {
        throw std::invalid_argument("unknown line \"" + std::string(t[0]) + "\"");
      }
    } catch (const std::invalid_argument& e) {
      throw SourceError(lineNo, e.what());
    }
    if (source.Descriptors.size() > 0 && source.Descriptors.back().Name.size() > 255)
      throw SourceError(lineNo, "a name may have at most 255 bytes");
  }
  if (!source.NeuroItems.empty() && (!source.Descriptors.empty() || !source.Scripts.empty()))
    throw SourceError(lineNo,
                      "neuro lines make a neural file and cannot mix with sig or script lines");
  return source;
}

std::string FormatStamp(double stamp) {
  char text[64];
  std::snprintf(text, sizeof text, "stamp %.17g", stamp);
  return text;
}

std::string FormatMinVersion(const engine::Real6& v) {
  char text[64];
  const auto& b = v.Bytes;
  std::snprintf(text, sizeof text, "min-version %02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2],
                b[3], b[4], b[5]);
  return text;
}

std::string FormatDescriptor(const TVirusDescr& d) {
  std::string line = "sig " + EscapeName(d.Name) + " ";
  line += std::to_string(d.MinSize);
  if (d.MaxSize != d.MinSize)
    line += "-" + std::to_string(d.MaxSize);
  char sums[48];
  std::snprintf(sums, sizeof sums, " %08X %08X %08X %08X", static_cast<unsigned>(d.Sums[0]),
                static_cast<unsigned>(d.Sums[1]), static_cast<unsigned>(d.Sums[2]),
                static_cast<unsigned>(d.Sums[3]));
  line += sums;
  char opt[32];
  if (d.Flags & engine::flag::Semantic) {
    std::snprintf(opt, sizeof opt, " flags=%02X",
                  static_cast<unsigned>(d.Flags & engine::flag::Semantic));
    line += opt;
  }
  if (d.Extra != 0) {
    std::snprintf(opt, sizeof opt, " extra=%08X", static_cast<unsigned>(d.Extra));
    line += opt;
  }
  return line;
}

std::string FormatScript(const TKYVScript& s) {
  return "script " + std::to_string(s.Id) + " " + Escape(s.Text);
}

std::string FormatNeuro(const TKYVNeuro& n) {
  return "neuro " + EscapeName(n.Name) + " " + Escape(n.Data);
}

Body BuildSignatureBody(const Source& source) {
  Body body;
  std::string previous;
  for (const TVirusDescr& d : source.Descriptors)
    engine::WriteDescriptor(body.Bytes, d, previous);
  engine::WriteScriptSection(body.Bytes, source.Scripts);
  body.RecordCount = static_cast<std::int32_t>(source.Descriptors.size());
  return body;
}

Body BuildNeuralBody(const Source& source) {
  Body body;
  for (const TKYVNeuro& n : source.NeuroItems)
    engine::WriteNeuro(body.Bytes, n);
  body.RecordCount = static_cast<std::int32_t>(source.NeuroItems.size());
  return body;
}

namespace {
std::size_t countOf(std::span<const std::byte> image) {
  const std::int32_t n = engine::ReadDatabaseHeader(image).RecordCount;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}
} // namespace

Source ReadSignatureBody(std::span<const std::byte> image) {
  Source source;
  const engine::DatabaseHeader h = engine::ReadDatabaseHeader(image);
  source.Stamp = h.Stamp;
  source.MinVersion = h.MinVersion;
  engine::BodyReader in(image.subspan(engine::kHeaderSize));
  std::string previous;
  const std::size_t count = countOf(image);
  for (std::size_t k = 0; k < count; ++k) {
    TVirusDescr d;
    engine::ReadDescriptor(in, previous, d);
    source.Descriptors.push_back(std::move(d));
  }
  source.Scripts = engine::ReadScriptSection(in);
  return source;
}

Source ReadNeuralBody(std::span<const std::byte> image) {
  Source source;
  const engine::DatabaseHeader h = engine::ReadDatabaseHeader(image);
  source.Stamp = h.Stamp;
  source.MinVersion = h.MinVersion;
  engine::BodyReader in(image.subspan(engine::kHeaderSize));
  const std::size_t count = countOf(image);
  for (std::size_t k = 0; k < count; ++k)
    source.NeuroItems.push_back(engine::ReadNeuro(in));
  return source;
}

Body BuildCodeBody(const std::vector<CodeRecord>& records) {
  Body body;
  for (const CodeRecord& r : records) {
    if (r.Name.size() > 255)
      throw std::invalid_argument("record name longer than 255 bytes: " + r.Name);
    if (r.Code.size() > 0x7FFFFFFFu)
      throw std::invalid_argument("record " + r.Name + " is too large");
    body.Bytes.push_back(static_cast<std::byte>(r.Name.size()));
    for (const char c : r.Name)
      body.Bytes.push_back(static_cast<std::byte>(c));
    std::byte size[4];
    storeLe32(size, static_cast<std::uint32_t>(r.Code.size()));
    body.Bytes.insert(body.Bytes.end(), size, size + 4);
    body.Bytes.insert(body.Bytes.end(), r.Code.begin(), r.Code.end());
  }
  body.RecordCount = static_cast<std::int32_t>(records.size());
  return body;
}

std::vector<CodeRecord> ReadCodeBody(std::span<const std::byte> image) {
  std::vector<CodeRecord> records;
  engine::BodyReader in(image.subspan(engine::kHeaderSize));
  const std::size_t count = countOf(image);
  for (std::size_t k = 0; k < count; ++k) {
    CodeRecord r;
    r.Name = in.text(in.u8());
    const std::uint32_t size = in.u32();
    if (size > 0x7FFFFFFFu)
      throw engine::ERangeCheck();
    const std::string code = in.text(size);
    r.Code.resize(code.size());
    for (std::size_t b = 0; b < code.size(); ++b)
      r.Code[b] = static_cast<std::byte>(code[b]);
    records.push_back(std::move(r));
  }
  return records;
}

} // namespace kyv::kyvdb
