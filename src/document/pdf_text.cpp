#include "document/pdf_text.h"

#include <array>

#include "base/utf.h"

namespace kyv::document {

namespace {

// Codes 0x18-0x1F of PDFDocEncoding: spacing accents.
constexpr std::array<char16_t, 8> kAccents{0x02D8, 0x02C7, 0x02C6, 0x02D9,
                                           0x02DD, 0x02DB, 0x02DA, 0x02DC};
// Codes 0x80-0xA0; 0 where the encoding leaves a code undefined (0x9F).
constexpr std::array<char16_t, 33> kHigh{
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A, 0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02, 0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, 0,      0x20AC};

} // namespace

std::string pdfTextToUtf8(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
      units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) << 8 |
                                            static_cast<unsigned char>(bytes[i + 1])));
    return utf16ToUtf8(units);
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    // Checked, so a malformed sequence becomes U+FFFD like any other bad text.
    return utf16ToUtf8(utf8ToUtf16(bytes.substr(3)));
  }
  std::string out;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    char32_t code = b;
    if (b >= 0x18 && b <= 0x1F)
      code = kAccents[b - 0x18];
    else if (b >= 0x80 && b <= 0xA0)
      code = kHigh[b - 0x80] != 0 ? kHigh[b - 0x80] : kReplacementChar;
    else if (b == 0xAD)
      code = kReplacementChar; // undefined in the encoding
    appendUtf8(out, code);
  }
  return out;
}

} // namespace kyv::document
