#include "zip_builder.h"

#include <array>

namespace kyv::test {

namespace {

std::uint32_t crc32(const std::vector<std::byte>& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const std::byte b : data) {
    crc ^= std::to_integer<std::uint32_t>(b);
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put16(std::vector<std::byte>& out, std::uint32_t v) {
  out.push_back(static_cast<std::byte>(v));
  out.push_back(static_cast<std::byte>(v >> 8));
}
void put32(std::vector<std::byte>& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}
void putText(std::vector<std::byte>& out, const std::string& text) {
  for (const char c : text)
    out.push_back(static_cast<std::byte>(c));
}

} // namespace

std::vector<std::byte> buildStoredZip(const std::vector<ZipMember>& members) {
  std::vector<std::byte> out;
  std::vector<std::byte> directory;
  for (const ZipMember& m : members) {
    const auto offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t crc = crc32(m.data);
    const auto size = static_cast<std::uint32_t>(m.data.size());
    const auto nameLength = static_cast<std::uint32_t>(m.name.size());
    put32(out, 0x04034B50);
    put16(out, 10); // version needed
    put16(out, 0);  // flags
    put16(out, 0);  // stored
    put16(out, 0);  // time
    put16(out, 0);  // date
    put32(out, crc);
    put32(out, size);
    put32(out, size);
    put16(out, nameLength);
    put16(out, 0);
    putText(out, m.name);
    out.insert(out.end(), m.data.begin(), m.data.end());

    put32(directory, 0x02014B50);
    put16(directory, 20); // made by: MS-DOS host
    put16(directory, 10);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put16(directory, 0);
    put32(directory, crc);
    put32(directory, size);
    put32(directory, size);
    put16(directory, nameLength);
    put16(directory, 0); // extra
    put16(directory, 0); // comment
    put16(directory, 0); // disk
    put16(directory, 0); // internal attributes
    put32(directory, 0); // external attributes
    put32(directory, offset);
    putText(directory, m.name);
  }
  const auto directoryOffset = static_cast<std::uint32_t>(out.size());
  out.insert(out.end(), directory.begin(), directory.end());
  put32(out, 0x06054B50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(members.size()));
  put16(out, static_cast<std::uint32_t>(members.size()));
  put32(out, static_cast<std::uint32_t>(directory.size()));
  put32(out, directoryOffset);
  put16(out, 0);
  return out;
}

} // namespace kyv::test
