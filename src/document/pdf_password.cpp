#include "document/pdf_password.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

#include "codec/aes.h"
#include "codec/md5.h"
#include "codec/rc4.h"
#include "codec/sha256.h"
#include "codec/sha512.h"

namespace kyv::document {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Every password is padded, or made, to 32 bytes with this string; the empty one is the string.
constexpr std::array<std::uint8_t, 32> kPadding{
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

std::span<const std::byte> raw(std::string_view s) {
  return std::as_bytes(std::span(s.data(), s.size()));
}
template <class T> std::span<const std::byte> raw(const T& bytes) {
  return std::as_bytes(std::span(bytes.data(), bytes.size()));
}

Bytes rc4(std::span<const std::uint8_t> key, Bytes data) {
  codec::Rc4 cipher(key);
  cipher.apply(std::as_writable_bytes(std::span(data)));
  return data;
}

// Revisions 2 to 4: MD5 over the padded password, /O, /P, the file identifier (and, when
// metadata stays plain from revision 4, four 0xFF bytes), strengthened by 50 more rounds from 3.
Bytes legacyKey(const PdfPasswordCheck& c) {
  codec::Md5 md5;
  md5.update(raw(kPadding));
  md5.update(raw(std::string_view(c.owner).substr(0, 32)));
  const auto p = static_cast<std::uint32_t>(c.permissions);
  const std::array<std::uint8_t, 4> pLe{
      static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p >> 8),
      static_cast<std::uint8_t>(p >> 16), static_cast<std::uint8_t>(p >> 24)};
  md5.update(raw(pLe));
  md5.update(raw(c.fileId));
  if (c.revision >= 4 && !c.encryptMetadata)
    md5.update(raw(std::array<std::uint8_t, 4>{0xFF, 0xFF, 0xFF, 0xFF}));
  auto digest = md5.finish();
  const std::size_t n = c.revision == 2 ? 5 : std::clamp<std::size_t>(c.keyBytes, 5, 16);
  if (c.revision >= 3)
    for (int i = 0; i < 50; ++i) {
      codec::Md5 again;
      again.update(raw(digest).first(n));
      digest = again.finish();
    }
  return Bytes(digest.begin(), digest.begin() + static_cast<std::ptrdiff_t>(n));
}

// What /U holds when the key belongs to the empty password: the padding encrypted (revision 2),
// or from revision 3 an MD5 of it with the file identifier, encrypted 20 times with variations
// of the key (only the first 16 bytes are defined).
bool legacyUserMatches(const PdfPasswordCheck& c, const Bytes& key) {
  if (c.revision == 2) {
    const Bytes u = rc4(key, Bytes(kPadding.begin(), kPadding.end()));
    return std::equal(u.begin(), u.end(), c.user.begin(), c.user.begin() + 32,
                      [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  }
  codec::Md5 md5;
  md5.update(raw(kPadding));
  md5.update(raw(c.fileId));
  const auto digest = md5.finish();
  Bytes u(digest.begin(), digest.end());
  for (int i = 0; i < 20; ++i) {
    Bytes k = key;
    for (auto& b : k)
      b ^= static_cast<std::uint8_t>(i);
    u = rc4(k, std::move(u));
  }
  return std::equal(u.begin(), u.end(), c.user.begin(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
}

Bytes sha2(int bits, std::span<const std::byte> data) {
  if (bits == 256) {
    codec::Sha256 h;
    h.update(data);
    const auto d = h.finish();
    return Bytes(d.begin(), d.end());
  }
  codec::Sha512 h(bits == 384 ? codec::Sha512::Variant::Sha384 : codec::Sha512::Variant::Sha512);
  h.update(data);
  return h.finish();
}

// The hash of revision 6 (revision 5 is its first step alone): SHA-256 of password and salt,
// then at least 64 rounds in which the password and the hash so far, repeated 64 times, are
// encrypted with AES-128 keyed by the hash, and the result hashed again by SHA-256, -384 or -512
// as the sum of its first 16 bytes modulo 3 picks. The rounds end once the last byte of the
// encryption is no more than the round number less 32 (so after 288 at most).
Bytes hardenedHash(int revision, std::string_view salt) {
  Bytes k = sha2(256, raw(salt));
  if (revision == 5)
    return k;
  for (int round = 0;; ++round) {
    Bytes block(k.begin(), k.end()); // the password is empty
    Bytes e;
    e.reserve(block.size() * 64);
    for (int i = 0; i < 64; ++i)
      e.insert(e.end(), block.begin(), block.end());
    const codec::Aes aes(std::span<const std::uint8_t>(k.data(), 16));
    std::array<std::uint8_t, 16> iv;
    std::copy_n(k.begin() + 16, 16, iv.begin());
    aes.cbcEncrypt(iv, std::as_writable_bytes(std::span(e)));
    unsigned sum = 0;
    for (int i = 0; i < 16; ++i)
      sum += e[i];
    k = sha2(sum % 3 == 0 ? 256 : sum % 3 == 1 ? 384 : 512, raw(e));
    if (round + 1 >= 64 && e.back() <= round + 1 - 32)
      break;
  }
  k.resize(32);
  return k;
}

std::optional<Bytes> modernKey(const PdfPasswordCheck& c) {
  const std::string_view u = c.user;
  const Bytes check = hardenedHash(c.revision, u.substr(32, 8));
  if (!std::equal(check.begin(), check.end(), u.begin(),
                  [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); }))
    return std::nullopt;
  // The file key is /UE decrypted with the hash of the key salt, CBC from a zero vector.
  const Bytes intermediate = hardenedHash(c.revision, u.substr(40, 8));
  Bytes key(c.userKey.begin(), c.userKey.begin() + 32);
  std::array<std::uint8_t, 16> iv{};
  codec::Aes(intermediate).cbcDecrypt(iv, std::as_writable_bytes(std::span(key)));
  return key;
}

} // namespace

std::optional<std::vector<std::uint8_t>> pdfKeyForEmptyPassword(const PdfPasswordCheck& c) {
  if (c.revision >= 2 && c.revision <= 4) {
    if (c.owner.size() < 32 || c.user.size() < 32)
      return std::nullopt;
    Bytes key = legacyKey(c);
    if (!legacyUserMatches(c, key))
      return std::nullopt;
    return key;
  }
  if (c.revision == 5 || c.revision == 6) {
    if (c.user.size() < 48 || c.userKey.size() < 32)
      return std::nullopt;
    return modernKey(c);
  }
  return std::nullopt;
}

} // namespace kyv::document
