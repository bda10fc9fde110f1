#include "archive/zip_lzma.h"

#include <array>
#include <string>

#include "archive/ab_archive.h"
#include "archive/ab_exception.h"
#include "codec/bit_input.h"
#include "codec/checksum.h"
#include "codec/lzma.h"

namespace kyv::archive {

namespace {

constexpr std::size_t kHeaderSize = 4;
constexpr std::size_t kPropertiesSize = 5;

// Passes writes on and keeps the CRC-32 of what was accepted.
class CrcSink final : public ByteSink {
public:
  explicit CrcSink(ByteSink& inner) : inner_(inner) {}
  bool write(std::span<const std::byte> data) override {
    if (!inner_.write(data))
      return false;
    crc = codec::crc32Update(crc, data);
    return true;
  }
  std::uint32_t crc = 0;

private:
  ByteSink& inner_;
};

} // namespace

std::uint32_t UnzipLzma(ByteSource& in, ByteSink& out, std::uint64_t compressedSize,
                        std::uint64_t uncompressedSize) {
  std::array<std::byte, kHeaderSize + kPropertiesSize> header;
  if (compressedSize < header.size() || !in.readExact(header))
    throw EAbReadError();
  if (std::to_integer<unsigned>(header[2]) + 256 * std::to_integer<unsigned>(header[3]) !=
      kPropertiesSize)
    throw EAbException("LZMA: bad properties size", AbCode::Unknown, ErrorKind::DataError);
  const auto props = codec::parseLzmaProperties(std::span(header).subspan(kHeaderSize));
  codec::LzmaDecoder decoder;
  codec::LzmaStatus s =
      props ? decoder.startLzma(*props, uncompressedSize) : codec::LzmaStatus::BadProperties;
  CrcSink sink(out);
  if (s == codec::LzmaStatus::Ok) {
    codec::InputBuffer input(in, compressedSize - header.size());
    s = decoder.run(input, sink);
  }
  if (s == codec::LzmaStatus::StreamEnd)
    return sink.crc;
  if (s == codec::LzmaStatus::WriteRefused)
    throw EAbWriteRefused();
  const ErrorKind kind =
      s == codec::LzmaStatus::DictionaryTooLarge || s == codec::LzmaStatus::NoMemory
          ? ErrorKind::Limit
          : ErrorKind::DataError;
  throw EAbException(std::string("LZMA: ") + codec::lzmaStatusText(s), AbCode::Unknown, kind);
}

} // namespace kyv::archive
