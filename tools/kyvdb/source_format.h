// The text form of signature databases that kyvdb reads and writes: one record per line, so a
// listing can be edited and built again. docs/kyvdb.md describes it for users.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/database.h"
#include "engine/signatures.h"

namespace kyv::kyvdb {

class SourceError : public std::runtime_error {
public:
  SourceError(std::size_t line, const std::string& message)
      : std::runtime_error("line " + std::to_string(line) + ": " + message) {}
};

struct Source {
  std::optional<double> Stamp;
  std::optional<engine::Real6> MinVersion;
  std::vector<engine::TVirusDescr> Descriptors;
  std::vector<engine::TKYVScript> Scripts;
  std::vector<engine::TKYVNeuro> NeuroItems;
  // What the parser took but a user should hear of ("line N: ..."): descriptors that can never
  // match, names with characters the code page lacks.
  std::vector<std::string> Warnings;
};

// Bytes up to the space, '%' and 0x7F become %XX, so every name or text is one token; the
// empty text is a lone "%".
std::string Escape(std::string_view text);
std::string Unescape(std::string_view token); // throws std::invalid_argument

// Names are written in UTF-8, as terminals and editors show text, and stored in the system's code
// page, Windows-1251, in which the scanner and the plug-in report them. Escapes as above.
std::string EscapeName(std::string_view cp1251);
// The inverse. Literal text that is UTF-8 is converted; text that is not (a source written in
// Windows-1251 already) is taken byte for byte; %XX is always the byte XX. lossy is set when a
// character has no place in the code page and became '?'.
std::string UnescapeName(std::string_view token, bool* lossy = nullptr);
// A name as typed or found (a file name): UTF-8 converted, anything else kept as it is.
std::string NameToCodePage(std::string_view text, bool* lossy = nullptr);

// True when a descriptor has no non-zero sum, so that no file can ever match it.
bool CanNeverMatch(const engine::TVirusDescr& d);

Source ParseSource(std::string_view text);

std::string FormatStamp(double stamp);
std::string FormatMinVersion(const engine::Real6& v);
std::string FormatDescriptor(const engine::TVirusDescr& d);
std::string FormatScript(const engine::TKYVScript& s);
std::string FormatNeuro(const engine::TKYVNeuro& n);

// The body of a signature file (descriptors, then the script section) or of a neural file;
// the record count goes into the header.
struct Body {
  std::vector<std::byte> Bytes;
  std::int32_t RecordCount = 0;
};
Body BuildSignatureBody(const Source& source);
Body BuildNeuralBody(const Source& source);

// Reading a decoded image back; throws engine::ETruncatedBody or engine::ERangeCheck.
Source ReadSignatureBody(std::span<const std::byte> image);
Source ReadNeuralBody(std::span<const std::byte> image);

// Records of the unpack-code file.
struct CodeRecord {
  std::string Name;
  std::vector<std::byte> Code;
};
Body BuildCodeBody(const std::vector<CodeRecord>& records);
std::vector<CodeRecord> ReadCodeBody(std::span<const std::byte> image);

} // namespace kyv::kyvdb
