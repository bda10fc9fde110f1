#include "mail/binhex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace kyv::mail {
namespace {

// An encoder written from RFC 1741 alone, sharing nothing with the reader: the CRC is computed
// the way the RFC describes it, over the bytes followed by two zero bytes, one bit at a time.
class BinHexWriter {
public:
  static std::string Encode(const std::string& name, const std::string& data,
                            const std::string& resource, bool breakDataCrc = false,
                            std::size_t claimedData = std::string::npos) {
    std::string header;
    header += static_cast<char>(name.size());
    header += name;
    header += '\0';                       // version
    header += "TEXTttxt";                 // type and creator
    header += std::string("\x01\x00", 2); // flags
    header +=
        be32(claimedData != std::string::npos ? claimedData : data.size()) + be32(resource.size());
    std::string stream = header + crc(header);
    std::string dataCrc = crc(data);
    if (breakDataCrc)
      dataCrc[1] = static_cast<char>(dataCrc[1] ^ 1);
    stream += data + dataCrc + resource + crc(resource);
    return "(This file must be converted with BinHex 4.0)\r\n" + sixBit(runLength(stream));
  }

private:
  static std::string be32(std::size_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
  }
  static std::string crc(const std::string& bytes) {
    unsigned reg = 0;
    const std::string augmented = bytes + std::string(2, '\0');
    for (const char ch : augmented)
      for (int bit = 7; bit >= 0; --bit) {
        const bool top = reg & 0x8000;
        reg = ((reg << 1) | ((static_cast<unsigned char>(ch) >> bit) & 1)) & 0xFFFF;
        if (top)
          reg ^= 0x1021;
      }
    return {static_cast<char>(reg >> 8), static_cast<char>(reg & 0xFF)};
  }
  static std::string runLength(const std::string& in) {
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
      std::size_t run = 1;
      while (i + run < in.size() && in[i + run] == in[i] && run < 255)
        ++run;
      const auto c = static_cast<unsigned char>(in[i]);
      const std::string one = c == 0x90 ? std::string("\x90\x00", 2) : std::string(1, in[i]);
      if (run >= 3) {
        out += one + '\x90' + static_cast<char>(run);
      } else {
        for (std::size_t k = 0; k < run; ++k)
          out += one;
      }
      i += run;
    }
    return out;
  }
  static std::string sixBit(const std::string& in) {
    static const char* alphabet =
        "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
    std::string chars = ":";
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char ch : in) {
      acc = (acc << 8) | static_cast<unsigned char>(ch);
      bits += 8;
      while (bits >= 6) {
        bits -= 6;
        chars += alphabet[(acc >> bits) & 63];
      }
    }
    if (bits > 0)
      chars += alphabet[(acc << (6 - bits)) & 63];
    std::string lined;
    for (std::size_t i = 0; i < chars.size(); i += 64)
      lined += chars.substr(i, 64) + "\r\n";
    lined.insert(lined.size() - 2, ":");
    return lined;
  }
};

struct Decoded {
  bool header = false;
  std::string name, data, resource;
  TBinHexReader::ForkResult dataFork, resourceFork;
};

Decoded decode(const std::string& text) {
  Decoded d;
  TBinHexReader reader(text);
  d.header = reader.ReadHeader();
  if (!d.header)
    return d;
  d.name = reader.Name();
  VectorSink data, resource;
  d.dataFork = reader.ReadDataFork(data);
  d.resourceFork = reader.ReadResourceFork(resource);
  d.data = test::textOf(data.bytes());
  d.resource = test::textOf(resource.bytes());
  return d;
}

TEST(BinHex, BothForksRoundTripThroughAnIndependentEncoder) {
  std::string data = "MZ" + std::string(1000, '\0') + std::string(5, '\x90') +
                     "a\x90"
                     "b" +
                     std::string(300, 'x');
  for (int i = 0; i < 256; ++i)
    data += static_cast<char>(i);
  const std::string resource = "resource fork";
  const Decoded d =
      decode("Subject: a Mac file\r\n\r\n  " + BinHexWriter::Encode("app.exe", data, resource));
  ASSERT_TRUE(d.header);
  EXPECT_EQ(d.name, "app.exe");
  EXPECT_EQ(d.data, data);
  EXPECT_TRUE(d.dataFork.Complete && d.dataFork.CrcOk);
  EXPECT_EQ(d.resource, resource);
  EXPECT_TRUE(d.resourceFork.Complete && d.resourceFork.CrcOk);
}

TEST(BinHex, DamageShowsInTheResultNeverInMemory) {
  // A wrong CRC: the bytes are all there, the CRC says so.
  Decoded d = decode(BinHexWriter::Encode("a", "payload", "", true));
  EXPECT_EQ(d.data, "payload");
  EXPECT_TRUE(d.dataFork.Complete);
  EXPECT_FALSE(d.dataFork.CrcOk);

  // Cut off inside the data fork: what was there, marked incomplete.
  const std::string whole = BinHexWriter::Encode("a", std::string(3000, 'q') + "tail", "");
  d = decode(whole.substr(0, whole.size() / 2));
  EXPECT_FALSE(d.dataFork.Complete);
  EXPECT_LT(d.data.size(), 3004u);

  // A header that claims a 4 GB fork over a few bytes of text costs only those bytes.
  d = decode(BinHexWriter::Encode("big", "only this", "", false, 0xFFFFFFFFu));
  ASSERT_TRUE(d.header);
  EXPECT_FALSE(d.dataFork.Complete);
  EXPECT_LE(d.dataFork.Written, 9u + 2 + 4);

  // No announcement, or no name: no header.
  EXPECT_FALSE(decode(":abc:").header);
  EXPECT_FALSE(decode("text (This file must be converted with BinHex 4.0)\r\n:!!!:").header);
}

TEST(BinHex, AnnouncementMustStartALine) {
  EXPECT_EQ(FindBinHex("(This file must be converted with BinHex 4.0)"), 0u);
  EXPECT_EQ(FindBinHex("x\r\n \t(This file must be converted with BinHex 4.0)"), 3u);
  EXPECT_EQ(FindBinHex("quoted: (This file must be converted with BinHex 4.0)"),
            std::string_view::npos);
}

} // namespace
} // namespace kyv::mail
