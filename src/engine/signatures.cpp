#include "engine/signatures.h"

#include <algorithm>

#include "base/endian.h"
#include "engine/messages.h"

namespace kyv::engine {

ERangeCheck::ERangeCheck() : kyv::Error(ErrorKind::DataError, std::string(kRangeCheckError)) {}

const std::byte* BodyReader::take(std::size_t n) {
  if (!inRange(body_.size(), pos_, n))
    throw ETruncatedBody();
  const std::byte* p = body_.data() + pos_;
  pos_ += n;
  return p;
}
std::uint8_t BodyReader::u8() { return std::to_integer<std::uint8_t>(*take(1)); }
std::uint16_t BodyReader::u16() { return loadLe16(take(2)); }
std::uint32_t BodyReader::u32() { return loadLe32(take(4)); }
std::string BodyReader::text(std::size_t length) {
  const std::byte* p = take(length);
  return std::string(reinterpret_cast<const char*>(p), length);
}

namespace {

std::int32_t readSize(BodyReader& in, bool shortForm) {
  if (shortForm)
    return in.u16();
  const std::uint32_t v = in.u32();
  if (v > 0x7FFFFFFFu)
    throw ERangeCheck();
  return static_cast<std::int32_t>(v);
}

void readName(BodyReader& in, std::uint8_t f, std::string& previousName) {
  if (f & flag::SameName)
    return;
  if (f & flag::PrefixName) {
    const std::uint8_t length = in.u8();
    const std::uint8_t prefix = in.u8();
    std::string name = previousName.substr(0, prefix);
    if (length > 1)
      name += in.text(length - 1u);
    previousName = std::move(name);
    return;
  }
  const std::uint8_t length = in.u8();
  if (length == 0)
    throw ERangeCheck();
  previousName = in.text(length);
}

} // namespace

void ReadDescriptor(BodyReader& in, std::string& previousName, TVirusDescr& out) {
  const std::uint8_t f = in.u8();
  const std::uint8_t e = (f & flag::HasExt) ? in.u8() : 0;
  readName(in, f, previousName);
  out.Name = previousName;
  if (f & flag::OneSize) {
    out.MinSize = out.MaxSize = readSize(in, e & ext::ShortMin);
  } else {
    out.MinSize = readSize(in, e & ext::ShortMin);
    out.MaxSize = readSize(in, e & ext::ShortMax);
  }
  for (unsigned j = 0; j < 4; ++j)
    out.Sums[j] = (e & (ext::NoSum0 << j)) ? 0 : in.u32();
  out.Extra = (f & flag::HasExtra) ? in.u32() : 0;
  out.Flags = f;
}

std::vector<TKYVScript> ReadScriptSection(BodyReader& in) {
  std::vector<TKYVScript> scripts;
  if (in.remaining() < kScriptHeaderSize)
    return scripts;
  std::int32_t count = 0;
  for (std::size_t k = 0; k < kScriptHeaderSize; ++k) {
    const std::uint8_t b = in.u8();
    if (k >= kScriptCountOffset && k < kScriptCountOffset + 4)
      count = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) |
                                        (std::uint32_t{b} << (8 * (k - kScriptCountOffset))));
  }
  if (count <= 0)
    return scripts;
  scripts.reserve(
      std::min<std::size_t>(static_cast<std::size_t>(count), in.remaining() / kMinScriptBytes));
  for (std::int32_t k = 0; k < count; ++k) {
    TKYVScript s;
    s.Id = static_cast<std::int32_t>(in.u32());
    const std::uint16_t length = in.u16();
    if (length == 0)
      throw ERangeCheck();
    s.Text = in.text(length);
    scripts.push_back(std::move(s));
  }
  return scripts;
}

TKYVNeuro ReadNeuro(BodyReader& in) {
  TKYVNeuro item;
  const std::uint8_t nameLength = in.u8();
  if (nameLength == 0)
    throw ERangeCheck();
  item.Name = in.text(nameLength);
  const std::uint16_t dataLength = in.u16();
  if (dataLength == 0)
    throw ERangeCheck();
  item.Data = in.text(dataLength);
  return item;
}

namespace {

void put8(std::vector<std::byte>& out, std::uint32_t v) {
  out.push_back(static_cast<std::byte>(v));
}
void put16(std::vector<std::byte>& out, std::uint32_t v) {
  put8(out, v);
  put8(out, v >> 8);
}
void put32(std::vector<std::byte>& out, std::uint32_t v) {
  put16(out, v);
  put16(out, v >> 16);
}
void putText(std::vector<std::byte>& out, std::string_view text) {
  for (const char c : text)
    out.push_back(static_cast<std::byte>(c));
}

void checkSize(std::int32_t v, const std::string& name) {
  if (v < 0)
    throw kyv::Error(ErrorKind::DataError, "size of " + name + " is negative");
}

} // namespace

void WriteDescriptor(std::vector<std::byte>& out, const TVirusDescr& d, std::string& previousName) {
  if (d.Name.size() > 255)
    throw kyv::Error(ErrorKind::Limit, "name longer than 255 bytes: " + d.Name);
  checkSize(d.MinSize, d.Name);
  checkSize(d.MaxSize, d.Name);
  if (d.MinSize > d.MaxSize)
    throw kyv::Error(ErrorKind::DataError, "size range of " + d.Name + " is empty");

  std::uint8_t f = d.Flags & flag::Semantic;
  std::uint8_t e = 0;

  // Name: same as before, previous prefix plus suffix, or in full, whichever is shortest.
  std::size_t common = 0;
  while (common < std::min<std::size_t>({d.Name.size(), previousName.size(), 255}) &&
         d.Name[common] == previousName[common])
    ++common;
  const std::size_t suffix = d.Name.size() - common;
  enum class NameForm { Same, Prefix, Full } form = NameForm::Full;
  if (d.Name == previousName)
    form = NameForm::Same;
  else if (suffix <= 254 && (d.Name.empty() || 2 + suffix < 1 + d.Name.size()))
    form = NameForm::Prefix; // an empty name has only this form
  if (form == NameForm::Same)
    f |= flag::SameName;
  else if (form == NameForm::Prefix)
    f |= flag::PrefixName;

  const bool oneSize = d.MinSize == d.MaxSize;
  if (oneSize)
    f |= flag::OneSize;
  if (d.MinSize <= 0xFFFF)
    e |= ext::ShortMin;
  if (!oneSize && d.MaxSize <= 0xFFFF)
    e |= ext::ShortMax;
  for (unsigned j = 0; j < 4; ++j)
    if (d.Sums[j] == 0)
      e |= static_cast<std::uint8_t>(ext::NoSum0 << j);
  if (d.Extra != 0)
    f |= flag::HasExtra;
  if (e != 0)
    f |= flag::HasExt;

  put8(out, f);
  if (f & flag::HasExt)
    put8(out, e);
  if (form == NameForm::Prefix) {
    put8(out, static_cast<std::uint32_t>(suffix + 1));
    put8(out, static_cast<std::uint32_t>(common));
    putText(out, std::string_view(d.Name).substr(common));
  } else if (form == NameForm::Full) {
    put8(out, static_cast<std::uint32_t>(d.Name.size()));
    putText(out, d.Name);
  }
  const auto putSize = [&](std::int32_t v, bool shortForm) {
    if (shortForm)
      put16(out, static_cast<std::uint32_t>(v));
    else
      put32(out, static_cast<std::uint32_t>(v));
  };
  putSize(d.MinSize, e & ext::ShortMin);
  if (!oneSize)
    putSize(d.MaxSize, e & ext::ShortMax);
  for (unsigned j = 0; j < 4; ++j)
    if (d.Sums[j] != 0)
      put32(out, d.Sums[j]);
  if (f & flag::HasExtra)
    put32(out, d.Extra);
  previousName = d.Name;
}

void WriteScriptSection(std::vector<std::byte>& out, const std::vector<TKYVScript>& scripts) {
  if (scripts.empty())
    return;
  std::byte header[kScriptHeaderSize] = {};
  storeLe32(header + kScriptCountOffset, static_cast<std::uint32_t>(scripts.size()));
  out.insert(out.end(), header, header + kScriptHeaderSize);
  for (const TKYVScript& s : scripts) {
    if (s.Text.empty() || s.Text.size() > 0xFFFF)
      throw kyv::Error(ErrorKind::Limit, "script text must be 1 to 65535 bytes");
    put32(out, static_cast<std::uint32_t>(s.Id));
    put16(out, static_cast<std::uint32_t>(s.Text.size()));
    putText(out, s.Text);
  }
}

void WriteNeuro(std::vector<std::byte>& out, const TKYVNeuro& item) {
  if (item.Name.empty() || item.Name.size() > 255 || item.Data.empty() || item.Data.size() > 0xFFFF)
    throw kyv::Error(ErrorKind::Limit, "neural record name or data length out of range");
  put8(out, static_cast<std::uint32_t>(item.Name.size()));
  putText(out, item.Name);
  put16(out, static_cast<std::uint32_t>(item.Data.size()));
  putText(out, item.Data);
}

} // namespace kyv::engine
