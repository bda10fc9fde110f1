#include "archive/checked_archive.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace kyv::archive {

namespace {
// Output and stored bytes move through the sink in slices of this size.
constexpr std::size_t kSlice = 64 * 1024;
} // namespace

const TAbCheckedItem& TAbCheckedArchive::Member(int index) const {
  const auto* item = dynamic_cast<const TAbCheckedItem*>(MemberAt(index));
  if (item == nullptr)
    throw EAbException("Index out of range");
  return *item;
}

void TAbCheckedArchive::ExtractItemToStreamAt(int index, ByteSink& stream) {
  lastFailure_.clear();
  try {
    ExtractCheckedAt(index, stream);
  } catch (const std::exception& error) {
    lastFailure_ = error.what();
    throw;
  }
}

void TAbCheckedArchive::CopyStoredItem(
    const TAbCheckedItem& item, ByteSink& stream,
    const std::function<void(std::span<const std::byte>)>& seen) {
  copyStored(*Stream(), item.DataOffset, std::min(item.CompressedSize, item.UncompressedSize),
             stream, seen);
  if (item.CompressedSize < item.UncompressedSize)
    throw EAbException("the stored data ends early", AbCode::Unknown, ErrorKind::UnexpectedEnd);
}

std::uint64_t pumpDecoded(ByteSink& sink, std::uint64_t size, const DecodeStep& step,
                          const OutputSeen& seen) {
  std::vector<std::byte> buffer(kSlice);
  std::uint64_t written = 0;
  while (written < size) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - written, kSlice));
    std::size_t produced = 0;
    const std::string_view stop = step(std::span(buffer).first(want), produced);
    const auto slice = std::span<const std::byte>(buffer).first(stop.empty() ? want : produced);
    if (!slice.empty()) {
      seen(slice);
      if (!sink.write(slice))
        throw EAbWriteRefused();
      written += slice.size();
    }
    if (stop.empty())
      continue;
    if (stop == kInputEnded && size == kSizeUnknown)
      break;
    throw EAbException(std::string(stop), AbCode::Unknown, ErrorKind::DataError);
  }
  return written;
}

DecodeStep lzhStep(codec::LzhDecoder& decoder, codec::LzhInput& in) {
  return [&decoder, &in](std::span<std::byte> out, std::size_t& produced) -> std::string_view {
    switch (decoder.expand(in, out, &produced)) {
    case codec::LzhStatus::Ok:
      return {};
    case codec::LzhStatus::BadTable:
      return "damaged data: a Huffman table that is out of range, incomplete or over-subscribed";
    case codec::LzhStatus::BadSymbol:
      return "damaged data: a code word of an empty Huffman table";
    case codec::LzhStatus::BadDistance:
      return "damaged data: a match reaching past the window";
    case codec::LzhStatus::InputEnded:
      break;
    }
    return kInputEnded;
  };
}

DecodeStep arjFastStep(codec::ArjFastDecoder& decoder, codec::ArjFastInput& in) {
  return [&decoder, &in](std::span<std::byte> out, std::size_t& produced) -> std::string_view {
    return decoder.expand(in, out, &produced) == codec::ArjFastStatus::Ok ? std::string_view()
                                                                          : kInputEnded;
  };
}

DecodeStep lzssStep(codec::LzssDecoder& decoder, codec::InputBuffer& in) {
  return [&decoder, &in](std::span<std::byte> out, std::size_t& produced) -> std::string_view {
    return decoder.expand(in, out, &produced) == codec::LzssStatus::Ok ? std::string_view()
                                                                       : kInputEnded;
  };
}

void copyStored(ByteSource& source, std::uint64_t offset, std::uint64_t count, ByteSink& sink,
                const OutputSeen& seen) {
  if (count > 0 && !source.seek(offset))
    throw EAbException("the stored data ends early", AbCode::Unknown, ErrorKind::UnexpectedEnd);
  std::vector<std::byte> buffer(kSlice);
  while (count > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count, kSlice));
    const std::size_t got = source.read(std::span(buffer).first(want));
    if (got == 0)
      throw EAbException("the stored data ends early", AbCode::Unknown, ErrorKind::UnexpectedEnd);
    seen(std::span(buffer).first(got));
    if (!sink.write(std::span(buffer).first(got)))
      throw EAbWriteRefused();
    count -= got;
  }
}

} // namespace kyv::archive
