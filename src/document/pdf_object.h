// The values of a document's object syntax: null, booleans, numbers, strings, names, arrays,
// dictionaries and references to numbered objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::document {

enum class PdfKind : std::uint8_t { Null, Bool, Int, Real, String, Name, Array, Dict, Ref };

struct PdfObject {
  PdfKind kind = PdfKind::Null;
  std::int64_t number = 0;      // Int, Bool (0 or 1), Ref (the object number)
  std::uint32_t generation = 0; // Ref
  double real = 0;              // Real
  std::string bytes;            // String (decoded bytes), Name (without the slash, #xx decoded)
  // Array: the items. Dict: keys (as Name objects) and values in turn.
  std::vector<PdfObject> items;

  bool isInt() const { return kind == PdfKind::Int; }
  bool isName(std::string_view name) const { return kind == PdfKind::Name && bytes == name; }
  // The value of a dictionary key (the last one when a key repeats); null when it is absent or
  // this is no dictionary.
  const PdfObject* get(std::string_view key) const;
};

// Identifies an indirect object.
struct PdfId {
  std::uint32_t number = 0;
  std::uint32_t generation = 0;
  friend bool operator==(const PdfId&, const PdfId&) = default;
  friend auto operator<=>(const PdfId&, const PdfId&) = default;
};

} // namespace kyv::document
