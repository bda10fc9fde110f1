
#include "archive/unzip_legacy.h"

#include <algorithm>
#include <array>
#include <vector>

#include "archive/ab_archive.h"
#include "codec/bit_input.h"
#include "codec/checksum.h"
#include "codec/huffman_table.h"

namespace kyv::archive {

// ---- traditional PKWARE decryption
// ---------------------------------------------------------------

bool CheckEncryptionHeader(ByteSource& source, PkwareKeys& keys, std::uint32_t checkValue) {
  std::array<std::byte, kZipEncryptionHeaderSize> header{};
  if (!source.readExact(header))
    throw EAbReadError();
  std::uint8_t last = 0;
  for (const std::byte b : header)
    last = keys.decryptByte(std::to_integer<std::uint8_t>(b));
  return last == static_cast<std::uint8_t>(checkValue >> 24);
}

std::size_t TAbZDecoder::read(std::span<std::byte> out) {
  const std::size_t n = inner_.read(out);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = std::byte{keys_.decryptByte(std::to_integer<std::uint8_t>(out[i]))};
  return n;
}

// ---- shared input and output
// ---------------------------------------------------------------------

namespace {

[[noreturn]] void corrupt(const char* what) {
  throw EAbException(std::string("Corrupt compressed data: ") + what, AbCode::Unknown,
                     ErrorKind::DataError);
}

// Bits least significant first, never read past the member's compressed size. Running out of
// input is a read error: none of these formats has an end marker, so the decoders stop on the
// uncompressed size and never need bits beyond it.
class LegacyBitReader {
public:
  LegacyBitReader(ByteSource& in, std::uint64_t limit) : in_(in, limit) {}

  unsigned Bits(unsigned count) { // count <= 16
    in_.need(count);
    const unsigned value = in_.peek(count);
    if (!in_.drop(count))
      throw EAbReadError();
    return value;
  }

  codec::LsbBitInput& Input() { return in_; }

private:
  codec::LsbBitInput in_;
};

// The output: a 32 KiB ring that is written out (and added to the CRC-32) each time it fills and
// at the end, and that doubles as the history for back-references. Every dictionary of these
// methods (at most 8 KiB) fits inside it; history before the first byte reads as zeros.
class LegacyOutput {
public:
  static constexpr std::size_t kSize = 32768;

  LegacyOutput(ByteSink& sink, std::uint64_t total) : sink_(sink), left_(total) {}

  bool Done() const { return left_ == 0; }
  std::uint64_t Left() const { return left_; }

  void Put(std::uint8_t b) {
    ring_[pos_++] = std::byte{b};
    --left_;
    if (pos_ == kSize)
      Flush();
  }

  // Copies length bytes from distance back (1 <= distance <= kSize), clipped to what is left.
  void Copy(std::size_t distance, std::uint64_t length) {
    length = std::min(length, left_);
    std::size_t from = (pos_ + kSize - distance) % kSize;
    while (length-- > 0) {
      Put(std::to_integer<std::uint8_t>(ring_[from]));
      from = (from + 1) % kSize;
    }
  }

  std::uint32_t Finish() {
    Flush();
    return crc_;
  }

private:
  void Flush() {
    const std::span<const std::byte> piece(ring_.data() + flushed_, pos_ - flushed_);
    if (!piece.empty()) {
      crc_ = codec::crc32Update(crc_, piece);
      if (!sink_.write(piece))
        throw EAbWriteRefused();
    }
    flushed_ = pos_ == kSize ? 0 : pos_;
    if (pos_ == kSize)
      pos_ = 0;
  }

  ByteSink& sink_;
  std::uint64_t left_;
  std::vector<std::byte> ring_ = std::vector<std::byte>(kSize);
  std::size_t pos_ = 0;
  std::size_t flushed_ = 0;
  std::uint32_t crc_ = 0;
};

// ---- unshrink (method 1)
// ------------------------------------------------------------------------- Dynamic LZW with codes
// of 9 to 13 bits. Code 256 is followed by a control code: 1 widens the codes by one bit, 2 frees
// every leaf of the string tree (partial clearing); freed codes are reused lowest first.

void Unshrink(LegacyBitReader& in, LegacyOutput& out) {
  constexpr unsigned kMaxBits = 13;
  constexpr int kCodes = 1 << kMaxBits;
  constexpr int kFirstFree = 257;
  std::vector<std::int16_t> prefix(kCodes, -1);
  std::vector<std::uint8_t> suffix(kCodes, 0);
  std::vector<bool> used(kCodes, false);
  for (int c = 0; c < 256; ++c) {
    suffix[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c);
    used[static_cast<std::size_t>(c)] = true;
  }
  std::vector<std::uint8_t> stack(kCodes);

  // Writes a code's string into the stack from its end; returns the start index. The walk is
  // bounded by the table size, so a cycle made by corrupt data ends in an error.
  auto expand = [&](int code) -> std::size_t {
    std::size_t top = stack.size();
    while (code >= 0) {
      if (top == 0)
        corrupt("shrunk string chain does not end");
      stack[--top] = suffix[static_cast<std::size_t>(code)];
      code = prefix[static_cast<std::size_t>(code)];
    }
    return top;
  };
  auto firstChar = [&](int code) -> std::uint8_t {
    for (int steps = 0; prefix[static_cast<std::size_t>(code)] >= 0; ++steps) {
      if (steps >= kCodes)
        corrupt("shrunk string chain does not end");
      code = prefix[static_cast<std::size_t>(code)];
    }
    return suffix[static_cast<std::size_t>(code)];
  };

  unsigned codeSize = 9;
  int previous = -1;
  int nextFree = kFirstFree;
  while (!out.Done()) {
    const int code = static_cast<int>(in.Bits(codeSize));
    if (code == 256) {
      const unsigned control = in.Bits(codeSize);
      if (control == 1) {
        if (codeSize >= kMaxBits)
          corrupt("shrunk code size above 13 bits");
        ++codeSize;
      } else if (control == 2) {
        std::vector<bool> hasChild(kCodes, false);
        for (int c = kFirstFree; c < kCodes; ++c)
          if (used[static_cast<std::size_t>(c)] &&
              prefix[static_cast<std::size_t>(c)] >= kFirstFree)
            hasChild[static_cast<std::size_t>(prefix[static_cast<std::size_t>(c)])] = true;
        for (int c = kFirstFree; c < kCodes; ++c)
          if (!hasChild[static_cast<std::size_t>(c)])
            used[static_cast<std::size_t>(c)] = false;
        nextFree = kFirstFree;
        while (nextFree < kCodes && used[static_cast<std::size_t>(nextFree)])
          ++nextFree;
      } else {
        corrupt("unknown shrunk control code");
      }
      continue;
    }
    if (previous < 0) {
      if (code > 255)
        corrupt("shrunk data starts with a string code");
      out.Put(static_cast<std::uint8_t>(code));
      previous = code;
      continue;
    }
    // A code not yet in the table can only be the one about to be made (the string just seen
    // followed by its own first character).
    const bool pending = !used[static_cast<std::size_t>(code)];
    if (pending && code != nextFree)
      corrupt("shrunk code refers to a free entry");
    if (nextFree < kCodes) {
      const std::uint8_t first = firstChar(pending ? previous : code);
      prefix[static_cast<std::size_t>(nextFree)] = static_cast<std::int16_t>(previous);
      suffix[static_cast<std::size_t>(nextFree)] = first;
      used[static_cast<std::size_t>(nextFree)] = true;
      while (nextFree < kCodes && used[static_cast<std::size_t>(nextFree)])
        ++nextFree;
    } else if (pending) {
      corrupt("shrunk code refers to a free entry");
    }
    for (std::size_t i = expand(code); i < stack.size() && !out.Done(); ++i)
      out.Put(stack[i]);
    previous = code;
  }
}

// ---- unreduce (methods 2 to 5)
// ------------------------------------------------------------------- Follower sets (for each last
// byte, up to 32 likely next bytes) feed a run-length stage whose escape byte 144 introduces a
// length/distance pair.

void Unreduce(LegacyBitReader& in, LegacyOutput& out, unsigned factor) {
  constexpr std::uint8_t kEscape = 144;
  constexpr unsigned kMaxFollowers = 32;
  // Bits needed for an index into a follower set of n entries (at least one).
  static constexpr std::array<std::uint8_t, kMaxFollowers + 1> kIndexBits = {
      0, 1, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4,
      5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
  std::array<std::array<std::uint8_t, kMaxFollowers>, 256> followers{};
  std::array<std::uint8_t, 256> counts{};
  for (int j = 255; j >= 0; --j) {
    const unsigned n = in.Bits(6);
    // The 6-bit field allows 63, but a set holds at most 32 bytes.
    if (n > kMaxFollowers)
      corrupt("reduced follower set larger than 32");
    counts[static_cast<std::size_t>(j)] = static_cast<std::uint8_t>(n);
    for (unsigned i = 0; i < n; ++i)
      followers[static_cast<std::size_t>(j)][i] = static_cast<std::uint8_t>(in.Bits(8));
  }

  const unsigned lengthMask = 0xFFu >> factor; // 127, 63, 31, 15
  std::uint8_t last = 0;
  int state = 0;
  unsigned length = 0;
  unsigned v = 0;
  while (!out.Done()) {
    std::uint8_t c;
    const unsigned n = counts[last];
    if (n == 0 || in.Bits(1) == 1) {
      c = static_cast<std::uint8_t>(in.Bits(8));
    } else {
      const unsigned index = in.Bits(kIndexBits[n]);
      if (index >= n)
        corrupt("reduced follower index outside its set");
      c = followers[last][index];
    }
    last = c;
    switch (state) {
    case 0:
      if (c != kEscape)
        out.Put(c);
      else
        state = 1;
      break;
    case 1:
      if (c != 0) {
        v = c;
        length = v & lengthMask;
        state = length == lengthMask ? 2 : 3;
      } else {
        out.Put(kEscape);
        state = 0;
      }
      break;
    case 2:
      length += c;
      state = 3;
      break;
    default: {
      const std::size_t distance = ((static_cast<std::size_t>(v) >> (8 - factor)) << 8) + c + 1;
      out.Copy(distance, std::uint64_t{length} + 3);
      state = 0;
      break;
    }
    }
  }
}

// ---- explode (method 6)
// -------------------------------------------------------------------------- A sliding dictionary
// (4 or 8 KiB) whose literals, lengths and distance high bits are coded with Shannon-Fano trees
// stored at the start of the data.

class ShannonFanoTree {
public:
  // Reads a tree of symbolCount code lengths in its compact form: a byte holding the number of
  // bytes that follow minus one, then bytes of (count - 1) << 4 | (length - 1).
  ShannonFanoTree(LegacyBitReader& in, unsigned symbolCount) {
    std::vector<std::uint8_t> lengths;
    lengths.reserve(symbolCount);
    const unsigned bytes = in.Bits(8) + 1;
    for (unsigned i = 0; i < bytes; ++i) {
      const unsigned b = in.Bits(8);
      const unsigned count = (b >> 4) + 1;
      const auto length = static_cast<std::uint8_t>((b & 0x0F) + 1);
      if (lengths.size() + count > symbolCount)
        corrupt("imploded tree has too many entries");
      lengths.insert(lengths.end(), count, length);
    }
    if (lengths.size() != symbolCount)
      corrupt("imploded tree has too few entries");
    Build(lengths);
  }

  // Codes are stored most significant bit first, the way Deflate stores its codes, and they are
  // the complement of the canonical code of the same lengths: the application note hands them
  // out from the longest length down, which for a complete code turns every canonical code word
  // into its inverse. So the table is the canonical one, looked up with the bits inverted; a code
  // that is not complete cannot be built that way and is damage.
  unsigned Decode(LegacyBitReader& reader) const {
    codec::LsbBitInput& in = reader.Input();
    in.need(codec::kHuffMaxCodeLength);
    // need() fills only whole bytes in order, so the bits above count are clear: inverted they
    // are ones, but no code word is longer than the count.
    const auto bits = static_cast<std::uint32_t>(~in.bits);
    std::uint32_t e = table_[bits & ((1u << rootBits_) - 1)];
    unsigned used = 0;
    if (e & codec::kHuffSubtable) {
      used = rootBits_;
      e = table_[codec::huffPayload(e) +
                 ((bits >> rootBits_) & ((1u << codec::huffCodeLength(e)) - 1))];
    }
    if (e & codec::kHuffInvalid)
      corrupt("imploded code not in its tree");
    if (!in.drop(used + codec::huffCodeLength(e)))
      throw EAbReadError();
    return codec::huffPayload(e);
  }

private:
  void Build(const std::vector<std::uint8_t>& lengths) {
    rootBits_ = lengths.size() > 64 ? 10 : 8;
    table_.resize(codec::huffTableCapacity(lengths.size(), rootBits_, codec::kHuffMaxCodeLength));
    switch (codec::buildHuffmanTable(lengths, codec::plainSymbolEntries(lengths.size()), rootBits_,
                                     codec::kHuffMaxCodeLength, table_, codec::BitOrder::LsbFirst,
                                     codec::Incomplete::Refused)) {
    case codec::HuffBuild::Ok:
      return;
    case codec::HuffBuild::OverSubscribed:
      corrupt("imploded tree is over-subscribed");
    default:
      corrupt("imploded tree leaves codes unused");
    }
  }

  unsigned rootBits_ = 0;
  std::vector<std::uint32_t> table_;
};

void Explode(LegacyBitReader& in, LegacyOutput& out, std::uint16_t flags) {
  const bool bigDictionary = (flags & 0x0002) != 0;
  const bool literalTree = (flags & 0x0004) != 0;
  std::unique_ptr<ShannonFanoTree> literals;
  if (literalTree)
    literals = std::make_unique<ShannonFanoTree>(in, 256);
  const ShannonFanoTree lengths(in, 64);
  const ShannonFanoTree distances(in, 64);
  const unsigned lowDistanceBits = bigDictionary ? 7 : 6;
  const unsigned minMatch = literalTree ? 3 : 2;

  while (!out.Done()) {
    if (in.Bits(1) == 1) {
      out.Put(static_cast<std::uint8_t>(literals ? literals->Decode(in) : in.Bits(8)));
      continue;
    }
    const unsigned low = in.Bits(lowDistanceBits);
    const unsigned high = distances.Decode(in);
    const std::size_t distance = ((static_cast<std::size_t>(high) << lowDistanceBits) | low) + 1;
    unsigned length = lengths.Decode(in);
    if (length == 63)
      length += in.Bits(8);
    out.Copy(distance, std::uint64_t{length} + minMatch);
  }
}

} // namespace

// ---- front
// ---------------------------------------------------------------------------------------

TAbUnzipHelper::TAbUnzipHelper(ByteSource& input, ByteSink& output, std::uint64_t compressedSize,
                               std::uint64_t uncompressedSize, std::uint8_t method,
                               std::uint16_t flags)
    : input_(input), output_(output), compressedSize_(compressedSize),
      uncompressedSize_(uncompressedSize), method_(method), flags_(flags) {}

std::uint32_t TAbUnzipHelper::Execute() {
  LegacyBitReader in(input_, compressedSize_);
  LegacyOutput out(output_, uncompressedSize_);
  switch (method_) {
  case 1:
    Unshrink(in, out);
    break;
  case 2:
  case 3:
  case 4:
  case 5:
    Unreduce(in, out, method_ - 1u);
    break;
  case 6:
    Explode(in, out, flags_);
    break;
  default:
    throw EAbZipInvalidMethod();
  }
  return out.Finish();
}

} // namespace kyv::archive
