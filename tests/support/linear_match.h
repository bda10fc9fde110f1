// The matcher written the plain way, as the reference the engine's index is checked against:
// one pass over every descriptor in table order, the size test, then the counts of non-zero
// and equal sums. Deliberately shares no code with the engine (not even the details text).
// Used by the differential test, the database-loader fuzz target and the engine benchmark.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/file_scanner.h"
#include "engine/signatures.h"

namespace kyv::test {

struct LinearAnswer {
  std::int32_t Result = 0; // 0, 1 or 2
  std::size_t Number = 0;  // the descriptor that gave the result (when not 0)
  std::string FoundName;
};

inline LinearAnswer LinearMatch(const std::vector<engine::TVirusDescr>& table,
                                const engine::TKYVFileInfo& file) {
  LinearAnswer answer;
  for (std::size_t k = 0; k < table.size(); ++k) {
    const engine::TVirusDescr& d = table[k];
    if (d.MinSize > file.FileSize || file.FileSize > d.MaxSize)
      continue;
    int nz = 0;
    int eq = 0;
    for (int j = 0; j < 4; ++j) {
      if (d.Sums[j] == 0)
        continue;
      ++nz;
      if (d.Sums[j] == file.Sums[j])
        ++eq;
    }
    if (nz > 0 && eq == nz) {
      answer.Result = 1;
      answer.Number = k;
      answer.FoundName = d.Name;
      return answer;
    }
    if (nz > 0 && eq > 0 && eq != nz && eq >= 3 && (d.Flags & 0x10) == 0) {
      char details[64];
      std::snprintf(details, sizeof details, " %08X %08X %08X %08X %d", unsigned(file.Sums[0]),
                    unsigned(file.Sums[1]), unsigned(file.Sums[2]), unsigned(file.Sums[3]),
                    int(file.FileSize));
      answer.Result = 2;
      answer.Number = k;
      answer.FoundName = d.Name + " (" + details + ")";
    }
  }
  return answer;
}

} // namespace kyv::test
