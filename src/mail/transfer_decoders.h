// The three transfer decoders of mail parts: base64, quoted-printable and uuencode. They are
// written for a scanner, not a mail reader: they never fail, skip what they cannot use and give
// whatever bytes they can. Each has a streaming form that writes into a ByteSink through a small
// buffer, so a part of hundreds of MB is never decoded into a second full copy in memory.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "base/byte_io.h"

namespace kyv::mail {

// Base64: every byte outside the alphabet ("=" included) is skipped wherever it stands; an
// unfinished last group is filled up with "=" before it is decoded.
std::vector<std::byte> DecodeBase64(std::string_view text);
[[nodiscard]] bool DecodeBase64(std::string_view text, ByteSink& out);

// Quoted-printable: trailing blanks and line breaks of the text are dropped, "=" CR LF (blanks
// allowed between them) is a soft line break, a bad escape gives a zero byte, an "=" too close to
// the end ends the text.
[[nodiscard]] bool DecodeQuotedPrintable(std::string_view text, ByteSink& out);

// Uuencode: data lines after the first "begin", up to a line that starts with "en" or "En"; each
// line gives exactly the bytes its length character announces, as far as the text goes (a group
// of four cut off by the end of the text gives nothing).
std::vector<std::byte> DecodeUUE(std::string_view text);
[[nodiscard]] bool DecodeUUE(std::string_view text, ByteSink& out);

// The streaming forms return false as soon as the sink refuses a write; what was accepted stays.

} // namespace kyv::mail
