// The container every database file shares: a 30-byte header, then a scrambled raw DEFLATE body.
// Decoding checks the weighted checksum, descrambles and inflates; encoding is its inverse, for
// the database tool and for tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kyv::engine {

inline constexpr std::size_t kHeaderSize = 30;
inline constexpr std::string_view kMagic = "KYV";

// Field offsets of the stored header.
namespace hdr {
inline constexpr std::size_t Magic = 0;
inline constexpr std::size_t Stamp = 3;
inline constexpr std::size_t MinVersion = 11;
inline constexpr std::size_t RecordCount = 17;
inline constexpr std::size_t Checksum = 21;
inline constexpr std::size_t Seed = 25;
inline constexpr std::size_t Reserved = 26;
} // namespace hdr

// A 6-byte floating-point value: byte 0 the biased exponent (0 means zero), bytes 1-5 a 39-bit
// fraction, the top bit of byte 5 the sign.
struct Real6 {
  std::array<std::uint8_t, 6> Bytes{};

  double value() const;
  // The nearest Real6 to a double (round to nearest); zero, infinities and values out of the
  // format's range are clamped to 0 or the largest magnitude.
  static Real6 fromDouble(double v);
  friend bool operator==(const Real6&, const Real6&) = default;
};

// The engine's own version, 4.1 as the format stores it (exactly 4.099999999998545...).
inline constexpr Real6 ProgramVersion{{0x83, 0x33, 0x33, 0x33, 0x33, 0x03}};

struct DatabaseHeader {
  std::array<char, 3> Magic{};
  double Stamp = 0;
  Real6 MinVersion;
  std::int32_t RecordCount = 0;
  std::uint32_t Checksum = 0;
  std::uint8_t Seed = 0;

  bool hasMagic() const { return std::string_view(Magic.data(), Magic.size()) == kMagic; }
  bool versionAccepted() const { return MinVersion.value() <= ProgramVersion.value(); }
};

// Sum of i * s[i] modulo 2^32.
std::uint32_t WeightedSum(std::span<const std::byte> bytes);

// Reads the header fields from the first 30 bytes; image must hold at least that many.
DatabaseHeader ReadDatabaseHeader(std::span<const std::byte> image);

// Largest body we inflate. The real databases are a few megabytes; the cap keeps a hostile or
// damaged file from exhausting the address space of the 32-bit plug-in.
inline constexpr std::size_t kMaxDecodedBody = 256u << 20;
// Largest stored file the loaders read into memory, for the same reason.
inline constexpr std::uint64_t kMaxStoredFile = 256u << 20;

// Turns a whole stored file into its decoded image (header with a zero checksum, then the
// inflated body). False when the file is damaged; image is then unspecified.
bool DecodeDatabaseImage(std::vector<std::byte>& image);

// The byte at stored position i (i >= 30) once descrambled, and the inverse.
std::uint8_t DescrambleByte(std::uint8_t stored, std::uint32_t i, std::uint8_t seed);
std::uint8_t ScrambleByte(std::uint8_t plain, std::uint32_t i, std::uint8_t seed);

// The producer side: header fields plus a plain body give the stored file. The body is
// deflated, scrambled and the checksum written last.
struct DatabaseFields {
  double Stamp = 0;
  Real6 MinVersion = ProgramVersion;
  std::int32_t RecordCount = 0;
  std::uint8_t Seed = 0;
};
std::vector<std::byte> EncodeDatabaseImage(const DatabaseFields& fields,
                                           std::span<const std::byte> body);

} // namespace kyv::engine
