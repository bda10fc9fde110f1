// VBA projects for tests, laid out as the published description of the dir stream has them: the
// project records (the version record with its six bytes behind a size of four among them), then
// per module its name, stream name (with the UTF-16 copy as record 0032), UTF-16 name, offset,
// flags and terminator. Each module stream holds some bytes of a stand-in performance cache,
// then the compressed source at the offset the dir stream gives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cfb_writer.h"
#include "ovba_writer.h"

namespace kyv::test {

struct VbaModuleSpec {
  std::string name;
  std::string source;
  std::string streamName; // the name itself when empty
  std::string cache = std::string(37, '\xCC');
  bool unicodeRecords = true;
};

inline std::string VbaRecord(std::uint16_t id, const std::string& data) {
  std::string r{static_cast<char>(id & 0xFF), static_cast<char>(id >> 8)};
  const auto n = static_cast<std::uint32_t>(data.size());
  for (int i = 0; i < 4; ++i)
    r.push_back(static_cast<char>(n >> (8 * i)));
  return r + data;
}

inline std::string VbaUtf16(const std::string& ascii) {
  std::string s;
  for (const char c : ascii)
    s += std::string{c, '\0'};
  return s;
}

inline std::string VbaLe(std::uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i)
    s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// The dir stream, uncompressed.
inline std::string VbaDir(const std::vector<VbaModuleSpec>& modules) {
  std::string d = VbaRecord(0x0001, VbaLe(1, 4)) + VbaRecord(0x0002, VbaLe(0x409, 4)) +
                  VbaRecord(0x0014, VbaLe(0x409, 4)) + VbaRecord(0x0003, VbaLe(1252, 2)) +
                  VbaRecord(0x0004, "Project") + VbaRecord(0x0005, "") + VbaRecord(0x0040, "") +
                  VbaRecord(0x0006, "") + VbaRecord(0x003D, "") + VbaRecord(0x0007, VbaLe(0, 4)) +
                  VbaRecord(0x0008, VbaLe(0, 4)) +
                  // The version: a size of 4, then 4 + 2 bytes of version numbers.
                  VbaLe(0x0009, 2) + VbaLe(4, 4) + VbaLe(0x5A8C13B1, 4) + VbaLe(0x0006, 2) +
                  VbaRecord(0x000C, "") + VbaRecord(0x003C, "") +
                  VbaRecord(0x000F, VbaLe(static_cast<std::uint32_t>(modules.size()), 2)) +
                  VbaRecord(0x0013, VbaLe(0xFFFF, 2));
  for (const VbaModuleSpec& m : modules) {
    const std::string stream = m.streamName.empty() ? m.name : m.streamName;
    d += VbaRecord(0x0019, m.name);
    if (m.unicodeRecords)
      d += VbaRecord(0x0047, VbaUtf16(m.name));
    d += VbaRecord(0x001A, stream);
    if (m.unicodeRecords)
      d += VbaRecord(0x0032, VbaUtf16(stream));
    d += VbaRecord(0x001C, "") + VbaRecord(0x0048, "") +
         VbaRecord(0x0031, VbaLe(static_cast<std::uint32_t>(m.cache.size()), 4)) +
         VbaRecord(0x001E, VbaLe(0, 4)) + VbaRecord(0x002C, VbaLe(0xFFFF, 2)) +
         VbaRecord(0x0021, "") + VbaRecord(0x002B, "");
  }
  return d + VbaRecord(0x0010, "");
}

inline std::string VbaModuleStream(const VbaModuleSpec& m) {
  return m.cache + OvbaCompress(m.source);
}

// A "VBA" storage under parent with the dir stream, the module streams and _VBA_PROJECT; returns
// it.
inline std::uint32_t AddVbaProject(CfbWriter& cfb, std::uint32_t parent,
                                   const std::vector<VbaModuleSpec>& modules) {
  const std::uint32_t vba = cfb.AddStorage(parent, "VBA");
  cfb.AddStream(vba, "dir", OvbaCompress(VbaDir(modules)));
  cfb.AddStream(vba, "_VBA_PROJECT", std::string("\xCC\x61\xFF\xFF\x00\x00\x00", 7));
  for (const VbaModuleSpec& m : modules)
    cfb.AddStream(vba, m.streamName.empty() ? m.name : m.streamName, VbaModuleStream(m));
  return vba;
}

} // namespace kyv::test
