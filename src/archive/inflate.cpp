#include "archive/inflate.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "archive/ab_exception.h"
#include "archive/pkware_crypt.h"
#include "codec/checksum.h"
#include "codec/inflate.h"

namespace kyv::archive {

namespace {

using codec::InflateStatus;

// The causes carried into EAbInflateError's message.
constexpr const char* kNoDataBuffer =
    "no more compressed data in stream [TAbDfInBitStream.ReadBuffer]";

const char* causeText(InflateStatus s) {
  switch (s) {
  case InflateStatus::BadStoredLength:
    return "invalid stored block (length and NOT length do not match) [InflateStoredBlock]";
  case InflateStatus::TooManyLengthCodes:
    return "count of literal codes in dynamic block is greater than 286 [InflateDynamicBlock]";
  case InflateStatus::TooManyDistanceCodes:
    return "count of distance codes in dynamic block is greater than 30 [InflateDynamicBlock]";
  case InflateStatus::BadCodeLength:
    return "decoded a code length out of range {ReadLitDistCodeLengths}";
  case InflateStatus::RepeatPastEnd:
    return "repeated code length runs past the declared code count {ReadLitDistCodeLengths}";
  case InflateStatus::RepeatWithoutPrevious:
    return "code length repeat with no previous length {ReadLitDistCodeLengths}";
  case InflateStatus::OverSubscribed:
    return "code lengths give an over-subscribed code [BuildTable]";
  case InflateStatus::BadBlockType:
    return "starting new block, but invalid block type [Inflate]";
  case InflateStatus::BadLengthSymbol:
    return "decoded an invalid length symbol: greater than 285 [DecodeData]";
  case InflateStatus::BadDistanceSymbol:
    return "decoded an invalid distance symbol: greater than 29 [DecodeData]";
  case InflateStatus::UnusedCode:
    return "decoded a code that no symbol has [DecodeData]";
  case InflateStatus::DistanceTooFar:
    return "distance reaches before the start of the output [DecodeData]";
  case InflateStatus::WriteRefused:
    return "the output stream refused a write [TAbDfOutputWindow]";
  case InflateStatus::EndInBlockFlag:
    return "no more compressed data in stream [TAbDfInBitStream.ReadBit]";
  case InflateStatus::EndInField:
    return "no more compressed data in stream [TAbDfInBitStream.ReadBits]";
  case InflateStatus::EndInCodes:
    return "no more compressed data in stream [TAbDfInBitStream.DiscardBits]";
  case InflateStatus::EndInStoredData:
    return kNoDataBuffer;
  case InflateStatus::Ok:
  case InflateStatus::LimitReached:
  case InflateStatus::Stopped:
    break;
  }
  return "";
}

// The decoder's output on its way to the caller's sink: checksummed, and in test-only mode
// counted but not written.
class CheckedSink final : public ByteSink {
public:
  CheckedSink(ByteSink& out, bool adler, bool testOnly)
      : out_(out), adler_(adler), testOnly_(testOnly), check_(adler ? 1u : 0u) {}
  bool write(std::span<const std::byte> data) override {
    if (!testOnly_ && !out_.write(data))
      return false;
    check_ = adler_ ? codec::adler32Update(check_, data) : codec::crc32Update(check_, data);
    return true;
  }
  std::uint32_t check() const { return check_; }

private:
  ByteSink& out_;
  const bool adler_;
  const bool testOnly_;
  std::uint32_t check_;
};

// The part size is capped where a 64 KiB window (96 KiB in Deflate64) would have its write point.
constexpr std::int64_t kPartCap = 65536;
constexpr std::int64_t kPartCap64 = 98304;

} // namespace

std::uint32_t Inflate(ByteSource& in, ByteSink& out, TAbDeflateHelper* helper) {
  TAbDeflateHelper options = helper != nullptr ? *helper : TAbDeflateHelper{};
  if (!options.OnProgress)
    options.StreamSize = 0;
  else if (options.StreamSize == -1)
    options.StreamSize = static_cast<std::int64_t>(in.size());
  const std::uint64_t start = in.position();

  std::unique_ptr<TAbDfDecryptStream> decrypt;
  ByteSource* source = &in;
  if (!options.Passphrase.empty()) {
    decrypt = std::make_unique<TAbDfDecryptStream>(in, options.Passphrase);
    switch (decrypt->ReadHeader(static_cast<std::uint8_t>(options.CheckValue >> 24))) {
    case TAbDfDecryptStream::Header::Ok:
      break;
    case TAbDfDecryptStream::Header::WrongPassword:
      throw EAbInflatePasswordError();
    case TAbDfDecryptStream::Header::Truncated:
      throw EAbInflateError(kNoDataBuffer);
    }
    source = decrypt.get();
  }

  const bool deflate64 = (options.Options & kDfDeflate64) != 0;
  codec::InflateOptions decoderOptions;
  decoderOptions.deflate64 = deflate64;
  if (options.PartialSize > 0)
    decoderOptions.outputLimit = static_cast<std::uint64_t>(
        std::min(options.PartialSize, deflate64 ? kPartCap64 : kPartCap));
  if (options.OnProgress && options.StreamSize > 0) {
    decoderOptions.onWindowMove = [&] {
      const auto done = static_cast<std::int64_t>(in.position() - start);
      return options.OnProgress(
          static_cast<int>(std::min<std::int64_t>(100, done * 100 / options.StreamSize)));
    };
  }
  CheckedSink sink(out, (options.Options & kDfUseAdler32) != 0,
                   (options.Options & kDfTestOnly) != 0);
  codec::Inflater inflater(*source, std::move(decoderOptions));
  const InflateStatus status = inflater.run(sink);
  // Leave the input just past the stream, so that what follows it (a GZIP trailer and the next
  // member) can be read; an encrypted stream stays where its decryptor left it.
  if (status == InflateStatus::Ok && source == &in) {
    const std::uint64_t unused = inflater.unusedInput();
    const std::uint64_t position = in.position();
    if (unused <= position - start)
      in.seek(position - unused);
  }
  if (helper != nullptr) {
    helper->NormalSize = static_cast<std::int64_t>(inflater.produced());
    helper->CompressedSize = static_cast<std::int64_t>(in.position() - start);
  }
  switch (status) {
  case InflateStatus::Ok:
    break;
  case InflateStatus::LimitReached:
  case InflateStatus::Stopped:
    return 0;
  default:
    throw EAbInflateError(causeText(status));
  }
  return sink.check();
}

} // namespace kyv::archive
