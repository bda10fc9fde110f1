#include "codec/ovba.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ovba_writer.h"
#include "base/endian.h"
#include "test_support.h"

namespace kyv::codec {
namespace {

using test::OvbaCompress;
using test::OvbaMode;

struct Decoded {
  OvbaStatus status;
  std::string text;
};

// Feeds the container in pieces of `piece` bytes, as a stream reader would.
Decoded decode(const std::string& in, std::size_t piece = SIZE_MAX) {
  VectorSink sink;
  OvbaDecoder decoder(sink);
  for (std::size_t at = 0; at < in.size(); at += piece)
    if (!decoder.write(asBytes(in).subspan(at, std::min(piece, in.size() - at))))
      break;
  const OvbaStatus status = decoder.finish();
  EXPECT_EQ(decoder.produced(), sink.bytes().size());
  return {status, test::textOf(sink.bytes())};
}

std::string bytesOf(std::initializer_list<int> values) {
  std::string s;
  for (const int v : values)
    s.push_back(static_cast<char>(v));
  return s;
}

TEST(Ovba, DecodesThePublishedExample) {
  // The worked example of the format's description: literals and copy tokens of 4 and 5
  // offset bits, overlapping copies among them.
  const std::string compressed =
      bytesOf({0x01, 0x2F, 0xB0, 0x00, 0x23, 0x61, 0x61, 0x61, 0x62, 0x63, 0x64, 0x65, 0x82,
               0x66, 0x00, 0x70, 0x61, 0x67, 0x68, 0x69, 0x6A, 0x01, 0x38, 0x08, 0x61, 0x6B,
               0x6C, 0x00, 0x30, 0x6D, 0x6E, 0x6F, 0x70, 0x06, 0x71, 0x02, 0x70, 0x04, 0x10,
               0x72, 0x73, 0x74, 0x75, 0x76, 0x10, 0x77, 0x78, 0x79, 0x7A, 0x00, 0x3C});
  const Decoded d = decode(compressed);
  EXPECT_EQ(d.status, OvbaStatus::Ok);
  EXPECT_EQ(d.text, "#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa");
}

TEST(Ovba, RoundTripsEveryChunkKindFedInAnyPieces) {
  std::string mixed;
  for (int i = 0; i < 9000; ++i)
    mixed.push_back(static_cast<char>((i * 7919 + i / 13) % 251));
  std::string source;
  for (int i = 0; i < 400; ++i)
    source +=
        "Sub Auto_Open()\r\n  Shell \"cmd /c x" + std::to_string(i % 17) + "\"\r\nEnd Sub\r\n";
  const std::vector<std::string> inputs{
      "", "a", std::string(4096, 'z'), std::string(4097, 'z'), source, mixed};
  for (const std::string& data : inputs)
    for (const OvbaMode mode :
         {OvbaMode::Compress, OvbaMode::LiteralsOnly, OvbaMode::StoreFullChunks})
      for (const std::size_t piece : {std::size_t{1}, std::size_t{4097}, SIZE_MAX}) {
        SCOPED_TRACE(testing::Message() << data.size() << " bytes, mode " << static_cast<int>(mode)
                                        << ", piece " << piece);
        const Decoded d = decode(OvbaCompress(data, mode), piece);
        EXPECT_EQ(d.status, OvbaStatus::Ok);
        EXPECT_EQ(d.text, data);
      }
  // The repetitive source really exercises copies of every offset width up to 12 bits.
  EXPECT_LT(OvbaCompress(source).size(), source.size() / 4);
}

TEST(Ovba, DamageEndsDecodingAndKeepsWhatCameBefore) {
  const std::string good = OvbaCompress(std::string(5000, 'q') + "tail");
  // A chunk of 7 bytes (size field 4): flag byte 0b100, literals a b, then token 0x1000 (4 offset
  // bits: offset 2, length 3).
  const std::string copyAt2 = bytesOf({0x01, 0x04, 0xB0, 0x04, 'a', 'b', 0x00, 0x10});
  struct Case {
    const char* what;
    std::string in;
    OvbaStatus status;
    std::string text;
  } cases[] = {
      {"no input", "", OvbaStatus::Empty, ""},
      {"signature only", "\x01", OvbaStatus::Ok, ""},
      {"wrong signature", "\x02" + good.substr(1), OvbaStatus::BadSignature, ""},
      {"header without its signature bits", bytesOf({0x01, 0x01, 0x80, 0x00, 'x'}),
       OvbaStatus::BadChunkHeader, ""},
      {"copy token at the chunk's start", bytesOf({0x01, 0x02, 0xB0, 0x01, 0x00, 0x00}),
       OvbaStatus::BadCopyToken, ""},
      // Offset 3 (0x2000 >> 12 + 1) with only two bytes behind: reaches before the chunk.
      {"copy before the chunk", bytesOf({0x01, 0x04, 0xB0, 0x04, 'a', 'b', 0x00, 0x20}),
       OvbaStatus::BadCopyToken, "ab"},
      {"good copy", copyAt2, OvbaStatus::Ok, "ababa"},
      {"half a token", copyAt2.substr(0, copyAt2.size() - 1), OvbaStatus::Truncated, "ab"},
      {"cut in the second chunk", good.substr(0, good.size() - 3), OvbaStatus::Truncated, ""},
      {"cut in a header", good.substr(0, 1 + 1), OvbaStatus::Truncated, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Decoded d = decode(c.in);
    EXPECT_EQ(d.status, c.status);
    if (std::string(c.what) == "cut in the second chunk") {
      // The first chunk whole, then the cut one as far as it goes.
      EXPECT_EQ(d.text.substr(0, 4096), std::string(4096, 'q'));
      EXPECT_GT(d.text.size(), 4096u);
      EXPECT_LT(d.text.size(), 5004u);
    } else {
      EXPECT_EQ(d.text, c.text);
    }
  }
}

TEST(Ovba, AChunkThatDecodesPastItsSizeIsRefused) {
  // Each token copies 18 bytes (4 offset bits, length field 15): 300 of them in one chunk would
  // give far more than 4096 bytes.
  std::string in = bytesOf({0x01, 0x00, 0x00, 0x00, 'a'});
  for (int i = 0; i < 38; ++i) {
    in.push_back(static_cast<char>(0xFF));
    for (int k = 0; k < 8; ++k)
      in += bytesOf({0x0F, 0x00});
  }
  const unsigned size = static_cast<unsigned>(in.size() - 3 - 2);
  in[1] = static_cast<char>(size & 0xFF);
  in[2] = static_cast<char>(0xB0 | (size >> 8));
  in[3] = 0x00; // flag byte: the literal 'a' first
  const Decoded d = decode(in);
  EXPECT_EQ(d.status, OvbaStatus::ChunkOverflow);
  EXPECT_LE(d.text.size(), kOvbaChunkSize);
  EXPECT_GT(d.text.size(), 4000u);
}

TEST(Ovba, ASinkThatRefusesStopsTheDecoder) {
  VectorSink sink(100);
  OvbaDecoder decoder(sink);
  EXPECT_FALSE(decoder.write(asBytes(OvbaCompress(std::string(9000, 'r')))));
  EXPECT_EQ(decoder.finish(), OvbaStatus::WriteRefused);
  EXPECT_FALSE(decoder.write(asBytes(std::string("\x01"))));
}

} // namespace
} // namespace kyv::codec
