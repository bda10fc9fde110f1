#include "codec/ovba.h"

#include <algorithm>
#include <cstring>

#include "base/endian.h"

namespace kyv::codec {

namespace {

constexpr std::byte kContainerSignature{0x01};
constexpr unsigned kChunkSignature = 3;     // bits 12-14 of every chunk header
constexpr std::size_t kChunkHeaderSize = 2; // the size field counts it, minus 3
constexpr unsigned kMinOffsetBits = 4;

// Offset bits of a copy token made `done` bytes into the chunk: enough to reach its start.
unsigned offsetBits(std::size_t done) {
  unsigned bits = kMinOffsetBits;
  while ((std::size_t{1} << bits) < done)
    ++bits;
  return bits;
}

} // namespace

bool OvbaDecoder::write(std::span<const std::byte> data) {
  if (status_ != OvbaStatus::Ok)
    return false;
  if (!started_ && !data.empty()) {
    if (data.front() != kContainerSignature) {
      status_ = OvbaStatus::BadSignature;
      return false;
    }
    started_ = true;
    data = data.subspan(1);
  }
  while (!data.empty()) {
    const std::size_t wanted = chunkWanted_ != 0 ? chunkWanted_ : kChunkHeaderSize;
    const std::size_t take = std::min(wanted - have_, data.size());
    std::memcpy(in_.data() + have_, data.data(), take);
    have_ += take;
    data = data.subspan(take);
    if (have_ == wanted && !takeChunk())
      return false;
  }
  return true;
}

// Called when the buffer holds a whole header (then the chunk's size is known) or a whole chunk.
bool OvbaDecoder::takeChunk() {
  const std::uint16_t header = loadLe16(in_.data());
  if (chunkWanted_ == 0) {
    if (((header >> 12) & 7u) != kChunkSignature) {
      status_ = OvbaStatus::BadChunkHeader;
      return false;
    }
    chunkWanted_ = (header & 0x0FFFu) + 3;
    return true;
  }
  status_ = decodeChunk(std::span(in_).subspan(kChunkHeaderSize, have_ - kChunkHeaderSize),
                        (header & 0x8000u) != 0);
  chunkWanted_ = 0;
  have_ = 0;
  return status_ == OvbaStatus::Ok;
}

OvbaStatus OvbaDecoder::decodeChunk(std::span<const std::byte> body, bool compressed) {
  std::size_t done = 0;
  OvbaStatus status = OvbaStatus::Ok;
  if (!compressed) {
    // The format wants exactly 4096 bytes here; the header's size field cannot give more.
    done = std::min(body.size(), kOvbaChunkSize);
    std::memcpy(outChunk_.data(), body.data(), done);
  } else {
    std::size_t i = 0;
    while (i < body.size() && status == OvbaStatus::Ok) {
      const unsigned flags = std::to_integer<unsigned>(body[i++]);
      for (unsigned bit = 0; bit < 8 && i < body.size(); ++bit) {
        if ((flags & (1u << bit)) == 0) {
          if (done == kOvbaChunkSize) {
            status = OvbaStatus::ChunkOverflow;
            break;
          }
          outChunk_[done++] = body[i++];
          continue;
        }
        if (body.size() - i < 2) {
          status = OvbaStatus::Truncated;
          break;
        }
        const unsigned token = loadLe16(body.data() + i);
        i += 2;
        if (done == 0) {
          status = OvbaStatus::BadCopyToken;
          break;
        }
        const unsigned bits = offsetBits(done);
        const std::size_t offset = (token >> (16 - bits)) + 1;
        const std::size_t length = (token & (0xFFFFu >> bits)) + 3;
        if (offset > done) {
          status = OvbaStatus::BadCopyToken;
          break;
        }
        if (length > kOvbaChunkSize - done) {
          status = OvbaStatus::ChunkOverflow;
          break;
        }
        // Byte by byte: a copy may overlap the bytes it makes.
        for (std::size_t k = 0; k < length; ++k, ++done)
          outChunk_[done] = outChunk_[done - offset];
      }
    }
  }
  // What was decoded before any fault is kept.
  if (done > 0 && !out_.write(std::span(outChunk_).first(done)))
    return OvbaStatus::WriteRefused;
  produced_ += done;
  return status;
}

OvbaStatus OvbaDecoder::finish() {
  if (status_ != OvbaStatus::Ok)
    return status_;
  if (!started_)
    return status_ = OvbaStatus::Empty;
  if (have_ > 0) {
    // A chunk cut off by the end of the input: what it holds is decoded, and the end reported.
    OvbaStatus status = OvbaStatus::Truncated;
    if (chunkWanted_ != 0) {
      const std::uint16_t header = loadLe16(in_.data());
      status = decodeChunk(std::span(in_).subspan(kChunkHeaderSize, have_ - kChunkHeaderSize),
                           (header & 0x8000u) != 0);
    }
    have_ = 0;
    chunkWanted_ = 0;
    status_ = status == OvbaStatus::Ok ? OvbaStatus::Truncated : status;
  }
  return status_;
}

OvbaStatus OvbaDecompress(std::span<const std::byte> in, ByteSink& out) {
  OvbaDecoder decoder(out);
  (void)decoder.write(in);
  return decoder.finish();
}

} // namespace kyv::codec
