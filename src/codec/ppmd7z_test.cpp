// The 7z PPMd decoder on a small stream made by the real archiver (order 6, 64 KiB of model),
// its properties checked field by field, and the stream cut or spoiled. Larger streams of every
// order and model size are checked through the 7z reader against the archiver itself.
#include "codec/ppmd7z.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kyv::codec {
namespace {

using Bytes = std::vector<std::byte>;

Bytes hex(const std::string& h) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<std::byte>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

const std::string kText = "abracadabra abracadabra abracadabra, said the hostile sender\n";
const Bytes kStream =
    hex("0061037c3b105fee1033f6df2ed965e891dd84918ee4d434b20deb4bfd4fb43bd61939e0bf00");
const Bytes kProps = hex("0600000100"); // order 6, 64 KiB

struct Decoded {
  Ppmd7zStatus status;
  std::string text;
};

// Decodes `size` bytes of `stream`, `piece` bytes of output per read.
Decoded decode(const Bytes& stream, const Bytes& props, std::uint64_t size, std::size_t piece = 7) {
  Ppmd7zDecoder dec;
  Decoded d{dec.start(props, size), {}};
  if (d.status != Ppmd7zStatus::Ok)
    return d;
  InputBuffer in(stream);
  std::vector<std::byte> buf(piece);
  for (;;) {
    std::size_t n = 0;
    d.status = dec.read(in, buf, n);
    d.text.append(reinterpret_cast<const char*>(buf.data()), n);
    if (d.status != Ppmd7zStatus::Ok)
      return d;
  }
}

TEST(Ppmd7z, DecodesTheArchiversStreamExactly) {
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}}) {
    const Decoded d = decode(kStream, kProps, kText.size(), piece);
    EXPECT_EQ(d.status, Ppmd7zStatus::StreamEnd);
    EXPECT_EQ(d.text, kText);
  }
  // A declared size short of the stream gives that much; none gives nothing.
  const Decoded part = decode(kStream, kProps, 11);
  EXPECT_EQ(part.status, Ppmd7zStatus::StreamEnd);
  EXPECT_EQ(part.text, kText.substr(0, 11));
  EXPECT_EQ(decode(kStream, kProps, 0).text, "");
}

TEST(Ppmd7z, PropertiesAreCheckedBeforeAnyMemoryIsTaken) {
  struct Case {
    const char* props;
    Ppmd7zStatus status;
  };
  for (const Case& c : {Case{"06000001", Ppmd7zStatus::BadProperties},     // four bytes
                        Case{"060000010000", Ppmd7zStatus::BadProperties}, // six bytes
                        Case{"0100000100", Ppmd7zStatus::BadProperties},   // order 1
                        Case{"4100000100", Ppmd7zStatus::BadProperties},   // order 65
                        Case{"06ff070000", Ppmd7zStatus::BadProperties},   // under 2 KiB
                        Case{"0600000110", Ppmd7zStatus::MemoryTooLarge},  // 256 MiB + 64 KiB
                        Case{"06f0ffffff", Ppmd7zStatus::MemoryTooLarge},  // nearly 4 GiB
                        Case{"4000000100", Ppmd7zStatus::Ok}}) {           // order 64
    SCOPED_TRACE(c.props);
    Ppmd7zDecoder dec;
    EXPECT_EQ(dec.start(hex(c.props), 10), c.status);
  }
  Ppmd7zDecoder idle;
  InputBuffer in(kStream);
  std::byte b[1];
  std::size_t n = 0;
  EXPECT_EQ(idle.read(in, b, n), Ppmd7zStatus::NotStarted);
}

TEST(Ppmd7z, CutOrSpoiledStreamsEndWithAnError) {
  Bytes cut(kStream.begin(), kStream.end() - 6);
  const Decoded c = decode(cut, kProps, kText.size());
  EXPECT_EQ(c.status, Ppmd7zStatus::Truncated);
  EXPECT_LT(c.text.size(), kText.size());
  EXPECT_EQ(c.text, kText.substr(0, c.text.size())); // what came before the cut is right
  EXPECT_EQ(decode({}, kProps, kText.size()).status, Ppmd7zStatus::Truncated);

  Bytes lead = kStream;
  lead[0] = std::byte{1};
  EXPECT_EQ(decode(lead, kProps, kText.size()).status, Ppmd7zStatus::BadRangeStart);
  EXPECT_EQ(decode(hex("00ffffffff"), kProps, kText.size()).status, Ppmd7zStatus::BadRangeStart);

  // Spoiled bytes decode to other text or stop on an error, never past the declared size. (The
  // last bytes are the coder's flush, which the decoder reads but need not depend on.)
  for (std::size_t i = 1; i < kStream.size(); ++i) {
    Bytes bad = kStream;
    bad[i] ^= std::byte{0x5A};
    const Decoded d = decode(bad, kProps, kText.size());
    EXPECT_LE(d.text.size(), kText.size());
    if (d.status == Ppmd7zStatus::StreamEnd && i + 4 < kStream.size()) {
      EXPECT_NE(d.text, kText) << i;
    }
  }
}

} // namespace
} // namespace kyv::codec
