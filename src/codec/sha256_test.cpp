// SHA-256: the FIPS 180-4 example messages, and a long input fed in pieces of every size across
// the 64-byte block boundary.
#include "codec/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace kyv::codec {
namespace {

std::string hex(const std::array<std::uint8_t, 32>& d) {
  std::string s;
  for (const auto b : d) {
    static const char* digits = "0123456789abcdef";
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

std::string digestOf(const std::string& text, std::size_t piece) {
  Sha256 h;
  for (std::size_t i = 0; i < text.size(); i += piece)
    h.update(std::as_bytes(std::span(text.data() + i, std::min(piece, text.size() - i))));
  return hex(h.finish());
}

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string text;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases)
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{55}, std::size_t{64}, std::size_t{1000}})
      EXPECT_EQ(digestOf(c.text, piece), c.digest) << c.text.size() << " " << piece;
}

} // namespace
} // namespace kyv::codec
