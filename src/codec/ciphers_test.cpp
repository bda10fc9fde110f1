// The primitives document decryption is built on, each against the published examples: MD5
// (RFC 1321), SHA-384 and SHA-512 (FIPS 180-4), RC4 (RFC 6229), AES blocks (FIPS 197 appendix C)
// and AES in CBC mode (SP 800-38A F.2). Hashes are fed in pieces across their block boundaries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/aes.h"
#include "codec/md5.h"
#include "codec/rc4.h"
#include "codec/sha512.h"

namespace kyv::codec {
namespace {

template <class Digest> std::string hex(const Digest& d) {
  std::string s;
  for (const auto b : d) {
    s += "0123456789abcdef"[static_cast<std::uint8_t>(b) >> 4];
    s += "0123456789abcdef"[static_cast<std::uint8_t>(b) & 15];
  }
  return s;
}

std::vector<std::uint8_t> unhex(std::string_view h) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

template <class Hash> std::string digestOf(Hash h, const std::string& text, std::size_t piece) {
  for (std::size_t i = 0; i < text.size(); i += piece)
    h.update(std::as_bytes(std::span(text.data() + i, std::min(piece, text.size() - i))));
  return hex(h.finish());
}

TEST(Ciphers, HashesGiveThePublishedDigests) {
  const std::string l112 = "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmno"
                           "pjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
  struct Case {
    const char* hash;
    std::string text;
    const char* digest;
  } cases[] = {
      {"md5", "", "d41d8cd98f00b204e9800998ecf8427e"},
      {"md5", "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"md5", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"md5", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"md5", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
      {"sha384", "abc",
       "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca134c"
       "825a7"},
      {"sha384", l112,
       "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa917"
       "46039"},
      {"sha512", "abc",
       "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23a3f"
       "eebbd"
       "454d4423643ce80e2a9ac94fa54ca49f"},
      {"sha512", l112,
       "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99dec4b"
       "5433a"
       "c7d329eeb6dd26545e96e55b874be909"},
      {"sha512", std::string(1000000, 'a'),
       "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce57"
       "7c31b"
       "eb009c5c2c49aa2e4eadb217ad8cc09b"},
  };
  for (const Case& c : cases)
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{55}, std::size_t{111}, std::size_t{1000}}) {
      const std::string_view hash = c.hash;
      const std::string got = hash == "md5" ? digestOf(Md5(), c.text, piece)
                              : hash == "sha384"
                                  ? digestOf(Sha512(Sha512::Variant::Sha384), c.text, piece)
                                  : digestOf(Sha512(), c.text, piece);
      EXPECT_EQ(got, c.digest) << c.hash << " of " << c.text.size() << " bytes in pieces of "
                               << piece;
    }
}

TEST(Ciphers, Rc4KeyStreams) {
  // Key stream bytes at offsets 0 and 16, and at 1520 to cross many calls.
  struct Case {
    const char* key;
    const char* at0;
    const char* at1520;
  } cases[] = {
      {"0102030405", "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919",
       "3294f744d8f9790507e70f62e5bbceea"},
      {"0102030405060708090a0b0c0d0e0f10",
       "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c",
       "b40110c4190b5622a96116b0017ed297"},
  };
  for (const Case& c : cases) {
    const auto key = unhex(c.key);
    Rc4 rc4(key);
    std::vector<std::byte> stream(1536);
    for (std::size_t at = 0; at < stream.size(); at += 7) // pieces of seven bytes
      rc4.apply(std::span(stream).subspan(at, std::min<std::size_t>(7, stream.size() - at)));
    EXPECT_EQ(hex(std::span(stream).first(32)), c.at0) << c.key;
    EXPECT_EQ(hex(std::span(stream).subspan(1520, 16)), c.at1520) << c.key;
  }
}

TEST(Ciphers, AesBlocksAndCbc) {
  struct Block {
    const char* key;
    const char* cipher;
  } blocks[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const Block& b : blocks) {
    const Aes aes(unhex(b.key));
    auto block = unhex("00112233445566778899aabbccddeeff");
    aes.encryptBlock(block.data());
    EXPECT_EQ(hex(block), b.cipher);
    aes.decryptBlock(block.data());
    EXPECT_EQ(hex(block), "00112233445566778899aabbccddeeff");
  }
  const std::string plain = "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                            "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
  struct Cbc {
    const char* key;
    const char* cipher;
  } cbcs[] = {
      {"2b7e151628aed2a6abf7158809cf4f3c",
       "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"},
      {"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
       "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
       "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
  };
  for (const Cbc& c : cbcs) {
    const Aes aes(unhex(c.key));
    const auto ivBytes = unhex("000102030405060708090a0b0c0d0e0f");
    std::array<std::uint8_t, 16> iv;
    std::copy(ivBytes.begin(), ivBytes.end(), iv.begin());
    auto data = unhex(plain);
    auto text = std::as_writable_bytes(std::span(data));
    std::array<std::uint8_t, 16> encIv = iv;
    aes.cbcEncrypt(encIv, text);
    EXPECT_EQ(hex(data), c.cipher);
    // Decrypted in two pieces, the chaining value carried across.
    aes.cbcDecrypt(iv, text.first(16));
    aes.cbcDecrypt(iv, text.subspan(16));
    EXPECT_EQ(hex(data), plain);
  }
}

} // namespace
} // namespace kyv::codec
