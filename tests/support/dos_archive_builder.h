// Test-only writers of ARJ and LZH archives with stored members, written from the published
// layouts and sharing no code with the readers, so a test can set every field, true or false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reference_checksums.h"

namespace kyv::test {

using Bytes = std::vector<std::byte>;

inline void putLe(Bytes& out, std::uint64_t v, int width) {
  for (int k = 0; k < width; ++k)
    out.push_back(static_cast<std::byte>(v >> (8 * k)));
}
inline void putText(Bytes& out, const std::string& s) {
  for (const char c : s)
    out.push_back(static_cast<std::byte>(c));
}

struct ArjMember {
  std::string name;
  std::string data;
  std::uint8_t method = 0;
  std::uint8_t flags = 0;
  std::uint8_t type = 0;          // 0 binary, 3 folder, 4 label
  std::int64_t originalSize = -1; // -1: the data's size
  std::int64_t packedSize = -1;   // -1: the data's size
  std::int64_t crc = -1;          // -1: the data's CRC-32
  std::string packed;             // the stored bytes when not the data
};

// One ARJ header: id, size, basic header (30-byte fixed part), CRC-32, no extended header.
inline Bytes arjHeader(std::uint8_t type, std::uint8_t flags, std::uint8_t method,
                       std::uint32_t packed, std::uint32_t original, std::uint32_t crc,
                       const std::string& name) {
  Bytes basic;
  basic.push_back(std::byte{30});
  basic.push_back(std::byte{11}); // version
  basic.push_back(std::byte{1});  // to extract
  basic.push_back(std::byte{2});  // host OS
  basic.push_back(std::byte{flags});
  basic.push_back(std::byte{method});
  basic.push_back(std::byte{type});
  basic.push_back(std::byte{0});
  putLe(basic, 0x5A210000, 4); // time
  putLe(basic, packed, 4);
  putLe(basic, original, 4);
  putLe(basic, crc, 4);
  putLe(basic, 0, 2);    // file spec position
  putLe(basic, 0644, 2); // access mode
  putLe(basic, 0, 2);    // chapters
  putText(basic, name);
  basic.push_back(std::byte{0});
  basic.push_back(std::byte{0}); // comment
  Bytes out{std::byte{0x60}, std::byte{0xEA}};
  putLe(out, basic.size(), 2);
  out.insert(out.end(), basic.begin(), basic.end());
  putLe(out, bitwiseCrc32(basic), 4);
  putLe(out, 0, 2); // no extended header
  return out;
}

inline Bytes buildArj(const std::vector<ArjMember>& members) {
  Bytes out = arjHeader(2, 0, 0, 0, 0, 0, "test.arj");
  for (const ArjMember& m : members) {
    const std::string& packed = m.packed.empty() ? m.data : m.packed;
    const auto data = std::span(reinterpret_cast<const std::byte*>(m.data.data()), m.data.size());
    const Bytes h =
        arjHeader(m.type, m.flags, m.method,
                  static_cast<std::uint32_t>(m.packedSize < 0 ? packed.size() : m.packedSize),
                  static_cast<std::uint32_t>(m.originalSize < 0 ? m.data.size() : m.originalSize),
                  static_cast<std::uint32_t>(m.crc < 0 ? bitwiseCrc32(data) : m.crc), m.name);
    out.insert(out.end(), h.begin(), h.end());
    putText(out, packed);
  }
  out.push_back(std::byte{0x60});
  out.push_back(std::byte{0xEA});
  putLe(out, 0, 2);
  return out;
}

inline std::uint16_t bitwiseCrc16(const std::string& s) {
  std::uint16_t c = 0;
  for (const char ch : s) {
    c ^= static_cast<unsigned char>(ch);
    for (int k = 0; k < 8; ++k)
      c = static_cast<std::uint16_t>((c & 1) ? (c >> 1) ^ 0xA001 : c >> 1);
  }
  return c;
}

struct LzhMember {
  std::string name;
  std::string data;
  std::string method = "-lh0-";
  int level = 0;
  std::string dir;                // level 2: a directory extended header
  std::int64_t originalSize = -1; // -1: the data's size
  std::int64_t packedSize = -1;   // -1: the data's size (plus level 1's extended headers)
};

// Level 0, 1 or 2 headers; level 1 and 2 carry the name (and directory) in extended headers.
inline Bytes buildLzh(const std::vector<LzhMember>& members) {
  Bytes out;
  for (const LzhMember& m : members) {
    const std::uint32_t original =
        static_cast<std::uint32_t>(m.originalSize < 0 ? m.data.size() : m.originalSize);
    const std::uint16_t crc = bitwiseCrc16(m.data);
    Bytes h;
    const auto common = [&](std::uint32_t packed) {
      putText(h, m.method);
      putLe(h, packed, 4);
      putLe(h, original, 4);
      putLe(h, 0x5A210000, 4);
      h.push_back(std::byte{0x20});
      h.push_back(static_cast<std::byte>(m.level));
    };
    const auto ext = [](Bytes& to, std::uint8_t type, const std::string& text) {
      Bytes e{std::byte{type}};
      putText(e, text);
      putLe(to, e.size() + 2, 2);
      to.insert(to.end(), e.begin(), e.end());
    };
    if (m.level == 2) {
      Bytes exts;
      ext(exts, 0x01, m.name);
      if (!m.dir.empty())
        ext(exts, 0x02, m.dir);
      putLe(exts, 0, 2);
      const std::size_t total = 24 + exts.size();
      putLe(h, total, 2);
      common(static_cast<std::uint32_t>(m.packedSize < 0 ? m.data.size() : m.packedSize));
      putLe(h, crc, 2);
      h.push_back(std::byte{'U'});
      h.insert(h.end(), exts.begin(), exts.end());
    } else {
      Bytes exts;
      if (m.level == 1) {
        ext(exts, 0x01, m.name);
        putLe(exts, 0, 2);
      }
      const std::uint32_t packed = static_cast<std::uint32_t>(
          m.packedSize < 0 ? m.data.size() + (exts.empty() ? 0 : exts.size() - 2) : m.packedSize);
      h.push_back(std::byte{0});
      h.push_back(std::byte{0});
      common(packed);
      const std::string name = m.level == 1 ? std::string() : m.name;
      h.push_back(static_cast<std::byte>(name.size()));
      putText(h, name);
      putLe(h, crc, 2);
      if (m.level == 1) {
        h.push_back(std::byte{'U'});
        // The base header ends with the first extended header's size.
        h.insert(h.end(), exts.begin(), exts.begin() + 2);
      }
      h[0] = static_cast<std::byte>(h.size() - 2);
      unsigned sum = 0;
      for (std::size_t i = 2; i < h.size(); ++i)
        sum += std::to_integer<unsigned>(h[i]);
      h[1] = static_cast<std::byte>(sum);
      if (m.level == 1)
        h.insert(h.end(), exts.begin() + 2, exts.end());
    }
    out.insert(out.end(), h.begin(), h.end());
    putText(out, m.data);
  }
  out.push_back(std::byte{0});
  return out;
}

} // namespace kyv::test
