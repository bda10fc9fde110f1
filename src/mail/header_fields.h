// Header fields and their parameters as mail readers see them: field names in any letter case,
// structured values with comments and quoted strings, parameters split at ";" (never found as
// substrings), RFC 2231 continuations and charset prefixes, RFC 2047 encoded words.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::mail {

// The value of the first field named `name` (no colon; any letter case; blanks allowed before the
// colon) in a header block held one unfolded field a line, each followed by CR LF. Trimmed of
// blanks and control characters at both ends. nullopt when no field has the name.
std::optional<std::string_view> FieldValue(std::string_view block, std::string_view name);

struct THeaderParam {
  std::string Name;  // lower-cased
  std::string Value; // unquoted; RFC 2231 sections joined, escapes decoded, charset converted
};

// A structured value such as "multipart/mixed; boundary=x" or "attachment; filename=a.exe".
struct TStructuredValue {
  // The leading word up to the first ";": lower-cased, comments and blanks removed.
  std::string Token;
  // Parameters in the order they came, each name once (the first wins). A name sent in RFC 2231
  // form (name*, name*0, name*1*, ...) is given under its plain name, preferred over a plain one.
  std::vector<THeaderParam> Params;

  // The value of a parameter by its lower-case name; nullptr when absent.
  const std::string* Param(std::string_view name) const;
};

TStructuredValue ParseStructuredValue(std::string_view value);

// Replaces RFC 2047 encoded words ("=?charset?B?...?=", "=?charset?Q?...?=") by the text they
// carry; the blanks between two encoded words go. Anything malformed stays as it was written.
// Text in UTF-8, ISO-8859-1 or US-ASCII is converted to the system's code page (Windows-1251),
// as RFC 2231 values in those charsets are; text in any other charset is left as it was sent.
std::string DecodeEncodedWords(std::string_view text);

} // namespace kyv::mail
