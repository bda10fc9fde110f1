// Test-only: small 7z archives spelled out field by field, for damaged and hostile headers that
// no archiver writes. Written from the format's description; shares nothing with the reader.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kyv::test::sevenzip {

using Bytes = std::vector<std::uint8_t>;

inline std::uint32_t crc32(const Bytes& data) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (const std::uint8_t b : data) {
    crc ^= b;
    for (int k = 0; k < 8; ++k)
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

inline void le(Bytes& out, std::uint64_t v, int width) {
  for (int k = 0; k < width; ++k)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// The variable-length number: n leading one bits in the first byte, n little-endian bytes after
// it, the value's top bits in what is left of the first byte.
inline Bytes num(std::uint64_t v) {
  Bytes out;
  for (int n = 0; n <= 8; ++n) {
    if (n == 8 || v < (std::uint64_t{1} << (8 * n + 7 - n))) {
      const auto ones = static_cast<std::uint8_t>(0xFF00u >> n);
      out.push_back(static_cast<std::uint8_t>(ones | (n == 8 ? 0 : v >> (8 * n))));
      le(out, v, n);
      return out;
    }
  }
  return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const Bytes& p : parts)
    r.insert(r.end(), p.begin(), p.end());
  return r;
}

inline Bytes u32(std::uint32_t v) {
  Bytes out;
  le(out, v, 4);
  return out;
}

// Names as the FilesInfo property: not external, UTF-16LE, each ended by a zero unit.
inline Bytes names(std::initializer_list<std::string_view> list) {
  Bytes body{0};
  for (const std::string_view n : list) {
    for (const char c : n)
      le(body, static_cast<unsigned char>(c), 2);
    le(body, 0, 2);
  }
  return cat({{0x11}, num(body.size()), body});
}

// A whole archive: signature header, the packed bytes, then the header.
inline Bytes archive(const Bytes& packed, const Bytes& header) {
  Bytes start;
  le(start, packed.size(), 8);
  le(start, header.size(), 8);
  le(start, crc32(header), 4);
  Bytes out{'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
  le(out, crc32(start), 4);
  return cat({out, start, packed, header});
}

// The header of one Copy folder holding the given files back to back in one packed stream.
struct CopyArchive {
  std::vector<std::pair<std::string, std::string>> files; // name, bytes

  Bytes packed() const {
    Bytes p;
    for (const auto& f : files)
      p.insert(p.end(), f.second.begin(), f.second.end());
    return p;
  }
  Bytes streams() const {
    const Bytes data = packed();
    Bytes sizes, crcs{1};
    for (std::size_t i = 0; i + 1 < files.size(); ++i)
      sizes = cat({sizes, num(files[i].second.size())});
    for (const auto& f : files)
      crcs = cat({crcs, u32(crc32(Bytes(f.second.begin(), f.second.end())))});
    return cat({{0x06},
                num(0),
                num(1),
                {0x09},
                num(data.size()),
                {0x00}, // pack info
                {0x07, 0x0B},
                num(1),
                {0x00},
                num(1),
                {0x01, 0x00},
                {0x0C},
                num(data.size()),
                {0x00}, // one Copy folder
                {0x08, 0x0D},
                num(files.size()),
                {0x09},
                sizes,
                {0x0A},
                crcs,
                {0x00}, // substreams
                {0x00}});
  }
  Bytes header() const {
    Bytes nameProp{0x11};
    Bytes body{0};
    for (const auto& f : files) {
      for (const char c : f.first)
        le(body, static_cast<unsigned char>(c), 2);
      le(body, 0, 2);
    }
    nameProp = cat({nameProp, num(body.size()), body});
    return cat({{0x01, 0x04}, streams(), {0x05}, num(files.size()), nameProp, {0x00}, {0x00}});
  }
  Bytes bytes() const { return archive(packed(), header()); }
};

} // namespace kyv::test::sevenzip
