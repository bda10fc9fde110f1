#include "archive/tar_pax.h"

namespace kyv::archive {

const std::string* TarPaxRecords::find(const std::string& key) const {
  const auto it = values.find(key);
  return it == values.end() ? nullptr : &it->second;
}

std::optional<std::uint64_t> TarPaxRecords::number(const std::string& key) const {
  const std::string* text = find(key);
  return text ? parseDecimal(*text) : std::nullopt;
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 20)
    return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10)
      return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

void parsePaxRecords(std::string_view data, TarPaxRecords& records) {
  while (!data.empty()) {
    // "length key=value\n": the length counts the whole record, its own digits included.
    const auto space = data.find(' ');
    if (space == std::string_view::npos)
      return;
    const auto length = parseDecimal(data.substr(0, space));
    if (!length || *length <= space + 1 || *length > data.size() || data[*length - 1] != '\n')
      return;
    const std::string_view record = data.substr(space + 1, *length - space - 2);
    data.remove_prefix(*length);
    const auto equals = record.find('=');
    if (equals == std::string_view::npos)
      continue;
    std::string key(record.substr(0, equals));
    const std::string_view value = record.substr(equals + 1);
    if (key == "GNU.sparse.offset" || key == "GNU.sparse.numbytes") {
      auto& list = key == "GNU.sparse.offset" ? records.sparseOffsets : records.sparseNumbytes;
      if (list.size() < kTarMaxSparseSegments)
        list.push_back(parseDecimal(value).value_or(UINT64_MAX));
      continue;
    }
    records.values[std::move(key)] = std::string(value);
  }
}

std::optional<TarSegments> paxSparseMap(const TarPaxRecords& records) {
  // A map that is there but cannot be read is damage: one segment that fits no file says so.
  const TarSegments damaged{{UINT64_MAX, UINT64_MAX}};
  TarSegments segments;
  if (const std::string* map = records.find("GNU.sparse.map")) {
    // Version 0.1: "offset,size,offset,size,..." in one record.
    std::vector<std::uint64_t> numbers;
    std::string_view text = *map;
    while (!text.empty() && numbers.size() < 2 * kTarMaxSparseSegments) {
      const auto comma = text.find(',');
      const auto number = parseDecimal(text.substr(0, comma));
      if (!number)
        return damaged;
      numbers.push_back(*number);
      text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    }
    if (numbers.size() % 2 != 0)
      return damaged;
    for (std::size_t i = 0; i < numbers.size(); i += 2)
      segments.emplace_back(numbers[i], numbers[i + 1]);
    return segments;
  }
  if (records.sparseOffsets.empty())
    return std::nullopt;
  // Version 0.0: the two keys alternate, one pair per segment.
  if (records.sparseOffsets.size() != records.sparseNumbytes.size())
    return damaged;
  for (std::size_t i = 0; i < records.sparseOffsets.size(); ++i)
    segments.emplace_back(records.sparseOffsets[i], records.sparseNumbytes[i]);
  return segments;
}

} // namespace kyv::archive
