// The records of the signature files and their stored forms: descriptor records with their
// compressed names and optional fields, the script section, and the neural records. Reading
// goes through a cursor that fails rather than overruns; writing picks the most compact form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"

namespace kyv::engine {

struct TVirusDescr {
  std::int32_t MinSize = 0;
  std::int32_t MaxSize = 0;
  std::array<std::uint32_t, 4> Sums{};
  std::uint8_t Flags = 0; // the record's flag byte as stored
  std::uint32_t Extra = 0;
  std::string Name;
};

struct TKYVScript {
  std::int32_t Id = 0;
  std::string Text;
};

struct TKYVNeuro {
  std::string Name;
  std::string Data;
};

// Bits of the flag byte F.
namespace flag {
inline constexpr std::uint8_t PrefixName = 0x01;
inline constexpr std::uint8_t SameName = 0x02;
inline constexpr std::uint8_t OneSize = 0x04;
inline constexpr std::uint8_t ExactOnly = 0x10;
inline constexpr std::uint8_t HasExtra = 0x20;
inline constexpr std::uint8_t HasExt = 0x80;
// The bits that mean something beyond the record's stored form.
inline constexpr std::uint8_t Semantic = 0x08 | 0x10 | 0x40;
} // namespace flag
// Bits of the extension byte E.
namespace ext {
inline constexpr std::uint8_t ShortMin = 0x01;
inline constexpr std::uint8_t ShortMax = 0x02;
inline constexpr std::uint8_t NoSum0 = 0x04; // NoSum0 << j for sum j
} // namespace ext

inline constexpr std::size_t kScriptHeaderSize = 18;
inline constexpr std::size_t kScriptCountOffset = 10;

// The body ended inside a record: the file is damaged.
class ETruncatedBody : public kyv::Error {
public:
  ETruncatedBody() : kyv::Error(ErrorKind::UnexpectedEnd, "body ends inside a record") {}
};
// A length of 0 where at least 1 is required, or a 4-byte size with its top bit set.
class ERangeCheck : public kyv::Error {
public:
  ERangeCheck();
};

class BodyReader {
public:
  explicit BodyReader(std::span<const std::byte> body) : body_(body) {}
  std::size_t remaining() const { return body_.size() - pos_; }
  std::size_t position() const { return pos_; }
  std::uint8_t u8();
  std::uint16_t u16();
  std::uint32_t u32();
  std::string text(std::size_t length);

private:
  const std::byte* take(std::size_t n);
  std::span<const std::byte> body_;
  std::size_t pos_ = 0;
};

// One descriptor record; previousName is the name of the record before in the same file and
// becomes this record's name.
void ReadDescriptor(BodyReader& in, std::string& previousName, TVirusDescr& out);
// The script section if at least its 18-byte header is left; otherwise nothing.
std::vector<TKYVScript> ReadScriptSection(BodyReader& in);
TKYVNeuro ReadNeuro(BodyReader& in);

// Smallest number of bytes a stored record of each kind takes; bounds what a count from the
// header can make us reserve.
inline constexpr std::size_t kMinDescriptorBytes = 4; // F, E, a 2-byte size, name same as before
inline constexpr std::size_t kMinScriptBytes = 7;
inline constexpr std::size_t kMinNeuroBytes = 5;

// The writer side. The stored-form bits of d.Flags are ignored and chosen here; of the rest,
// 0x08, 0x10 and 0x40 are kept. Throws kyv::Error for what the format cannot hold (a name over
// 255 bytes, a size outside 0..2^31-1, MinSize above MaxSize).
void WriteDescriptor(std::vector<std::byte>& out, const TVirusDescr& d, std::string& previousName);
// Writes nothing when there are no scripts.
void WriteScriptSection(std::vector<std::byte>& out, const std::vector<TKYVScript>& scripts);
void WriteNeuro(std::vector<std::byte>& out, const TKYVNeuro& item);

} // namespace kyv::engine
