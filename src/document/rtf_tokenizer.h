// The tokens of RTF: group braces, control words (a backslash, up to 32 letters, an optional
// signed number, one optional space that belongs to the word), control symbols (a backslash and
// one other character; \'hh takes its two hex digits along), runs of text, and the raw bytes
// after \binN, which are data and never read as RTF.
//
// Nothing is believed: a \bin longer than the input takes what is left, a control word of a
// thousand letters is read as one (its name cut), a number of a thousand digits is clamped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kyv::document {

struct TRtfToken {
  enum class TKind { GroupStart, GroupEnd, ControlWord, ControlSymbol, Text, Binary, End };
  TKind Kind = TKind::End;
  std::string_view Word; // a control word's name (at most 32 letters), or the symbol
  bool HasParam = false;
  std::int32_t Param = 0;
  std::span<const std::byte> Bytes; // text, or the raw bytes of \bin
};

// The longest control word the format allows; longer runs of letters are read as one word.
inline constexpr std::size_t kRtfMaxWord = 32;

class TRtfTokenizer {
public:
  explicit TRtfTokenizer(std::span<const std::byte> rtf) : rtf_(rtf) {}
  TRtfToken Next();
  std::size_t Position() const { return at_; }

private:
  TRtfToken ControlWord();
  std::span<const std::byte> rtf_;
  std::size_t at_ = 0;
};

} // namespace kyv::document
