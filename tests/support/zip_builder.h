// Builds small stored (method 0) ZIP archives in memory for tests: local headers, the central
// directory and the end record, with correct CRC-32s unless a test asks otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kyv::test {

struct ZipMember {
  std::string name;
  std::vector<std::byte> data;
};

std::vector<std::byte> buildStoredZip(const std::vector<ZipMember>& members);

} // namespace kyv::test
