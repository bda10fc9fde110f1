// The peer side of the archive benchmarks: libarchive reads an archive from memory and every
// member's bytes pass through a CRC-32, as ours do.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "bench_support.h"

namespace kyv::bench {

// enable(a) turns on the formats to read; members of the file types skip(type) names are passed
// over.
template <class Enable, class Skip>
Extracted libarchiveExtract(const std::vector<std::byte>& file, Enable&& enable, Skip&& skip) {
  Extracted r;
  ::archive* a = archive_read_new();
  enable(a);
  if (archive_read_open_memory(a, file.data(), file.size()) != ARCHIVE_OK) {
    archive_read_free(a);
    return {false, 0, {}};
  }
  ::archive_entry* entry;
  std::vector<std::byte> buf(1 << 16);
  while (archive_read_next_header(a, &entry) == ARCHIVE_OK) {
    if (skip(archive_entry_filetype(entry)))
      continue;
    std::uint32_t crc = 0;
    for (;;) {
      const la_ssize_t n = archive_read_data(a, buf.data(), buf.size());
      if (n < 0) {
        r.ok = false;
        break;
      }
      if (n == 0)
        break;
      crc = codec::crc32Update(crc, std::span(buf.data(), static_cast<std::size_t>(n)));
      r.bytes += static_cast<std::uint64_t>(n);
    }
    r.crcs.push_back(crc);
  }
  archive_read_free(a);
  return r;
}

} // namespace kyv::bench
