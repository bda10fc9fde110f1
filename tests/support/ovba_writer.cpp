#include "ovba_writer.h"

#include <algorithm>
#include <cstdint>

namespace kyv::test {

namespace {

constexpr std::size_t kChunk = 4096;

void put16(std::string& out, std::size_t at, unsigned v) {
  out[at] = static_cast<char>(v & 0xFF);
  out[at + 1] = static_cast<char>(v >> 8);
}

unsigned offsetBits(std::size_t done) {
  unsigned bits = 4;
  while ((std::size_t{1} << bits) < done)
    ++bits;
  return bits;
}

std::string compressChunk(const std::string& chunk, bool literalsOnly) {
  std::string body;
  std::size_t pos = 0;
  while (pos < chunk.size()) {
    const std::size_t flagAt = body.size();
    body.push_back('\0');
    unsigned flags = 0;
    for (unsigned bit = 0; bit < 8 && pos < chunk.size(); ++bit) {
      std::size_t bestLen = 0, bestOff = 0;
      if (!literalsOnly && pos > 0) {
        const unsigned bits = offsetBits(pos);
        const std::size_t maxLen = (0xFFFFu >> bits) + 3;
        for (std::size_t off = 1; off <= pos; ++off) {
          std::size_t len = 0;
          while (len < maxLen && pos + len < chunk.size() &&
                 chunk[pos + len] == chunk[pos - off + len])
            ++len;
          if (len > bestLen) {
            bestLen = len;
            bestOff = off;
          }
        }
      }
      if (bestLen >= 3) {
        const unsigned bits = offsetBits(pos);
        const unsigned token =
            static_cast<unsigned>(((bestOff - 1) << (16 - bits)) | (bestLen - 3));
        body.append(2, '\0');
        put16(body, body.size() - 2, token);
        flags |= 1u << bit;
        pos += bestLen;
      } else {
        body.push_back(chunk[pos++]);
      }
    }
    body[flagAt] = static_cast<char>(flags);
  }
  return body;
}

} // namespace

std::string OvbaCompress(const std::string& data, OvbaMode mode) {
  std::string out(1, '\x01');
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    const std::string chunk = data.substr(at, kChunk);
    std::string body = compressChunk(chunk, mode == OvbaMode::LiteralsOnly);
    const bool store =
        chunk.size() == kChunk && (mode == OvbaMode::StoreFullChunks || body.size() > kChunk);
    if (store)
      body = chunk;
    const std::size_t header = out.size();
    out.append(2, '\0');
    put16(out, header,
          static_cast<unsigned>((body.size() + 2 - 3) | (3u << 12) | (store ? 0 : 0x8000u)));
    out += body;
  }
  return out;
}

} // namespace kyv::test
