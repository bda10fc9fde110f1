#include "mail/transfer_decoders.h"

#include <array>
#include <cstdint>

#include "base/text.h"

namespace kyv::mail {
namespace {

constexpr std::uint8_t kNotBase64 = 255;

constexpr std::array<std::uint8_t, 256> makeBase64Table() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table)
    v = kNotBase64;
  for (int i = 0; i < 26; ++i) {
    table[static_cast<std::size_t>('A' + i)] = static_cast<std::uint8_t>(i);
    table[static_cast<std::size_t>('a' + i)] = static_cast<std::uint8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i)
    table[static_cast<std::size_t>('0' + i)] = static_cast<std::uint8_t>(52 + i);
  table['+'] = 62;
  table['/'] = 63;
  return table;
}
constexpr std::array<std::uint8_t, 256> kBase64Table = makeBase64Table();
static_assert(kBase64Table['A'] == 0 && kBase64Table['z'] == 51 && kBase64Table['9'] == 61);
static_assert(kBase64Table['='] == kNotBase64 && kBase64Table['\n'] == kNotBase64);

// Four 6-bit values to three bytes. Uuencode feeds unmasked values (up to 255), so every sum is
// taken modulo 256 and the high bits of a value spill into its neighbour, as old decoders did.
struct Triple {
  std::byte b[3];
};
constexpr Triple DecodeQuad(unsigned v0, unsigned v1, unsigned v2, unsigned v3) {
  return {{static_cast<std::byte>((v0 * 4 + (v1 >> 4)) & 0xFF),
           static_cast<std::byte>(((v1 % 16) * 16 + (v2 >> 2)) & 0xFF),
           static_cast<std::byte>(((v2 % 4) * 64 + v3) & 0xFF)}};
}

constexpr unsigned UUValue(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == 96 ? 0 : static_cast<unsigned>((u - 32) & 0xFF);
}
static_assert(UUValue('`') == 0 && UUValue(' ') == 0 && UUValue('M') == 45);
static_assert(UUValue('\r') == 237, "an empty line reads as count 237");

// Collects output bytes and hands them to the sink in blocks; remembers a refusal.
class BufferedOut {
public:
  explicit BufferedOut(ByteSink& sink) : sink_(sink) {}
  void put(std::byte b) {
    buf_[used_++] = b;
    if (used_ == buf_.size())
      flush();
  }
  bool ok() const { return ok_; }
  bool finish() {
    flush();
    return ok_;
  }

private:
  void flush() {
    if (used_ != 0 && ok_)
      ok_ = sink_.write(std::span<const std::byte>(buf_.data(), used_));
    used_ = 0;
  }
  ByteSink& sink_;
  std::array<std::byte, 64 * 1024> buf_;
  std::size_t used_ = 0;
  bool ok_ = true;
};

bool isSpaceOrBreak(char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

std::vector<std::byte> collect(std::string_view text, bool (*decode)(std::string_view, ByteSink&)) {
  VectorSink sink;
  // A VectorSink without a limit never refuses.
  [[maybe_unused]] const bool ok = decode(text, sink);
  return std::move(sink.bytes());
}

} // namespace

bool DecodeBase64(std::string_view text, ByteSink& out) {
  BufferedOut buffer(out);
  unsigned group[4];
  std::size_t held = 0;
  for (const char c : text) {
    const std::uint8_t v = kBase64Table[static_cast<unsigned char>(c)];
    if (v == kNotBase64)
      continue;
    group[held++] = v;
    if (held == 4) {
      const Triple t = DecodeQuad(group[0], group[1], group[2], group[3]);
      buffer.put(t.b[0]);
      buffer.put(t.b[1]);
      buffer.put(t.b[2]);
      held = 0;
      if (!buffer.ok())
        return false;
    }
  }
  if (held != 0) {
    // The group is filled up with "=" (table value 255) and decoded; a filled third and fourth
    // character drop two bytes, a filled fourth one byte. So one or two leftover characters
    // give one byte, three give two.
    for (std::size_t i = held; i < 4; ++i)
      group[i] = kNotBase64;
    const Triple t = DecodeQuad(group[0], group[1], group[2], group[3]);
    buffer.put(t.b[0]);
    if (held == 3)
      buffer.put(t.b[1]);
  }
  return buffer.finish();
}

std::vector<std::byte> DecodeBase64(std::string_view text) {
  return collect(text, static_cast<bool (*)(std::string_view, ByteSink&)>(&DecodeBase64));
}

bool DecodeQuotedPrintable(std::string_view text, ByteSink& out) {
  while (!text.empty() && isSpaceOrBreak(text.back()))
    text.remove_suffix(1);
  BufferedOut buffer(out);
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n && buffer.ok()) {
    const char c = text[i];
    if (c != '=') {
      buffer.put(static_cast<std::byte>(c));
      ++i;
      continue;
    }
    if (n - i < 3)
      break; // "=" with fewer than two characters after it: the rest is lost
    // "=" followed by blanks and a line break is a soft line break too: the blanks are transport
    // padding that some gateways add and others strip.
    std::size_t k = i + 1;
    while (k < n && (text[k] == ' ' || text[k] == '\t'))
      ++k;
    if (k + 1 < n && text[k] == '\r' && text[k + 1] == '\n') {
      i = k + 2;
      continue;
    }
    const char h = text[i + 1];
    const char l = text[i + 2];
    {
      const int hv = HexDigitValue(h);
      const int lv = HexDigitValue(l);
      buffer.put(static_cast<std::byte>(hv >= 0 && lv >= 0 ? hv * 16 + lv : 0));
    }
    i += 3;
  }
  return buffer.finish();
}

bool DecodeUUE(std::string_view text, ByteSink& out) {
  const std::size_t begin = text.find("begin");
  if (begin == std::string_view::npos)
    return true;
  BufferedOut buffer(out);
  const std::size_t n = text.size();
  // The five letters and the one character after them (normally the blank before the mode) are
  // passed over; a "begin" right before CR LF therefore loses the first data line.
  std::size_t pos = n - begin < 6 ? n : begin + 6;
  while (pos < n && buffer.ok()) {
    const std::size_t crlf = text.find("\r\n", pos);
    if (crlf == std::string_view::npos || n - crlf <= 2)
      break;
    pos = crlf + 2;
    const char lengthChar = text[pos];
    if ((lengthChar == 'E' || lengthChar == 'e') && pos + 1 < n && text[pos + 1] == 'n')
      break; // the "end" line (or anything that starts like it)
    const unsigned count = UUValue(lengthChar);
    ++pos;
    if (count == 0)
      continue;
    unsigned written = 0;
    while (written < count) {
      const std::size_t avail = n - pos;
      if (avail >= 4) {
        const Triple t = DecodeQuad(UUValue(text[pos]), UUValue(text[pos + 1]),
                                    UUValue(text[pos + 2]), UUValue(text[pos + 3]));
        pos += 4;
        for (int k = 0; k < 3 && written < count; ++k, ++written)
          buffer.put(t.b[k]);
        continue;
      }
      // A group cut off by the end of the text carries no whole line of data: it gives nothing,
      // so the line break the parser put after the last line never becomes a byte.
      pos = n;
      break;
    }
  }
  return buffer.finish();
}

std::vector<std::byte> DecodeUUE(std::string_view text) {
  return collect(text, static_cast<bool (*)(std::string_view, ByteSink&)>(&DecodeUUE));
}

} // namespace kyv::mail
