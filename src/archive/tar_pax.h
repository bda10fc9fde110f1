// pax extended header records ("length key=value\n") and the sparse maps GNU tar writes with
// them, in the three versions it has used.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kyv::archive {

using TarSegments = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// A sparse map longer than this is taken as damage: it would only fill memory.
inline constexpr std::size_t kTarMaxSparseSegments = 1u << 20;

struct TarPaxRecords {
  std::map<std::string, std::string> values;
  // Sparse map version 0.0 repeats its two keys once per segment, in order.
  std::vector<std::uint64_t> sparseOffsets, sparseNumbytes;

  bool empty() const { return values.empty() && sparseOffsets.empty(); }
  void clear() { *this = {}; }
  const std::string* find(const std::string& key) const;
  // A decimal value of a key; nothing when absent or not a number.
  std::optional<std::uint64_t> number(const std::string& key) const;
};

// Adds the records of one extended header to records (later records of a key win). Parsing
// stops at the first malformed record; what came before it stands.
void parsePaxRecords(std::string_view data, TarPaxRecords& records);

// A decimal number of at most 20 digits; nothing when the text is anything else or too large.
std::optional<std::uint64_t> parseDecimal(std::string_view text);

// The sparse map a member's pax records carry (versions 0.0 and 0.1): nothing when they carry
// none, a map that fits no file when the one they carry is malformed.
std::optional<TarSegments> paxSparseMap(const TarPaxRecords& records);

} // namespace kyv::archive
