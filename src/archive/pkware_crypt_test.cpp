#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "archive/pkware_crypt.h"
#include "base/byte_io.h"
#include "base/endian.h"
#include "test_support.h"

namespace kyv::archive {
namespace {

// The cipher from APPNOTE 6.1, written out here once more to encrypt test data.
std::vector<std::byte> zipCryptEncrypt(std::string_view password, std::vector<std::byte> data) {
  std::uint32_t k[3] = {0x12345678u, 0x23456789u, 0x34567890u};
  const auto crcStep = [](std::uint32_t c, std::uint8_t b) {
    c ^= b;
    for (int i = 0; i < 8; ++i)
      c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    return c;
  };
  const auto update = [&](std::uint8_t p) {
    k[0] = crcStep(k[0], p);
    k[1] = (k[1] + (k[0] & 0xFF)) * 134775813u + 1;
    k[2] = crcStep(k[2], static_cast<std::uint8_t>(k[1] >> 24));
  };
  for (const char c : password)
    update(static_cast<std::uint8_t>(c));
  for (std::byte& b : data) {
    const std::uint32_t t = (k[2] | 2) & 0xFFFF;
    const auto p = std::to_integer<std::uint8_t>(b);
    b = static_cast<std::byte>(p ^ ((t * (t ^ 1)) >> 8));
    update(p);
  }
  return data;
}

TEST(PkwareCryptTest, DecryptStreamReadsSeeksAndChecksTheHeader) {
  std::vector<std::byte> plain = test::bytesOf("0123456789A\xC3"
                                               "the member's data, long enough to span reads");
  const auto cipher = zipCryptEncrypt("pass", plain);
  MemorySource base(cipher);
  TAbDfDecryptStream s(base, "pass");
  EXPECT_EQ(s.ReadHeader(0xC3), TAbDfDecryptStream::Header::Ok);
  std::vector<std::byte> got(plain.size() - 12);
  ASSERT_TRUE(s.readExact(got));
  EXPECT_EQ(test::textOf(got), test::textOf(std::span(plain).subspan(12)));
  ASSERT_TRUE(s.seek(20));
  std::vector<std::byte> again(5);
  ASSERT_TRUE(s.readExact(again));
  EXPECT_EQ(test::textOf(again), test::textOf(std::span(plain).subspan(20, 5)));

  MemorySource base2(cipher);
  TAbDfDecryptStream wrong(base2, "pasS");
  EXPECT_EQ(wrong.ReadHeader(0xC3), TAbDfDecryptStream::Header::WrongPassword);
  MemorySource shortBase{std::span<const std::byte>(cipher).first(11)};
  TAbDfDecryptStream cut(shortBase, "pass");
  EXPECT_EQ(cut.ReadHeader(0xC3), TAbDfDecryptStream::Header::Truncated);

  const std::span<const std::byte, kPkwareHeaderSize> header(cipher.data(), kPkwareHeaderSize);
  EXPECT_TRUE(checkPkwareHeader("pass", header, 0xC3));
  EXPECT_FALSE(checkPkwareHeader("pass", header, 0xC4));
}

} // namespace
} // namespace kyv::archive
