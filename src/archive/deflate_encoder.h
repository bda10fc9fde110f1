// A plain, correct Deflate (RFC 1951) compressor for the producer side: database files, test
// data. Greedy LZ77 over a 32 KiB window with hash chains, fixed Huffman codes, and stored
// blocks wherever those come out smaller. Speed and ratio are secondary to being obviously right.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace kyv::archive {

// The whole input as one raw Deflate stream (no zlib or gzip wrapper); the last block is final.
std::vector<std::byte> DeflateRaw(std::span<const std::byte> data);

} // namespace kyv::archive
