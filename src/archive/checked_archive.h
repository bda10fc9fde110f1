// What the readers of the old DOS archive formats (ARJ, LZH, the MS-DOS compressor's SZDD and
// KWAJ files) share: members that say before extraction whether they can be read, the reason the
// last extraction failed or came out damaged, and the loop that pumps a decoder's output into a
// sink with the member's check value.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "archive/ab_archive.h"
#include "codec/arj_fast.h"
#include "codec/lzh.h"
#include "codec/lzss.h"

namespace kyv::archive {

class TAbCheckedItem : public TAbArchiveItem {
public:
  // Why the member cannot be decoded here (a method no decoder here knows, a member whose data
  // starts in another volume); empty when it can.
  std::string Unsupported;
  // Why its bytes cannot come out whole although it decodes (it continues in the next volume);
  // empty when nothing is known against it.
  std::string Incomplete;
  // Where its stored bytes are in the archive.
  std::uint64_t DataOffset = 0;
  int Method = 0;
};

class TAbCheckedArchive : public TAbArchive {
public:
  using TAbArchive::TAbArchive;

  // Listing stops after this many members: twice what the unpacking kernel takes from one
  // scanned file, so the cap never hides a member the kernel would reach.
  static constexpr int kMaxMembers = 200000;

  const TAbCheckedItem& Member(int index) const;
  // Why the last member extraction stopped short or wrote damaged bytes (a check value that does
  // not match, damaged data, data that ends early); empty when it came out whole.
  const std::string& LastFailure() const { return lastFailure_; }
  // Why the listing stopped before the archive's end (a damaged header); empty when it did not.
  const std::string& ListingProblem() const { return listingProblem_; }

protected:
  void ExtractItemToStreamAt(int index, ByteSink& stream) final;
  // Writes one member, raising an EAbException that says what went wrong after writing what came
  // before it.
  virtual void ExtractCheckedAt(int index, ByteSink& stream) = 0;
  void SetListingProblem(std::string problem) { listingProblem_ = std::move(problem); }
  // Writes a stored member: its original size, as far as the stored bytes go.
  void CopyStoredItem(const TAbCheckedItem& item, ByteSink& stream,
                      const std::function<void(std::span<const std::byte>)>& seen);

private:
  std::string lastFailure_;
  std::string listingProblem_;
};

// One expand call of a decoder: fills `out` and returns an empty text, or stops after `produced`
// bytes and says why (kInputEnded when the compressed data ran out).
using DecodeStep = std::function<std::string_view(std::span<std::byte> out, std::size_t& produced)>;
inline constexpr std::string_view kInputEnded = "the compressed data ends early";
// Sees each slice of output, in order (a checksum).
using OutputSeen = std::function<void(std::span<const std::byte> data)>;

// Writes up to `size` decoded bytes into sink and returns how many it wrote. With kSizeUnknown
// it writes until the step reports kInputEnded, which is then the normal end. Any other stop is
// raised as an EAbException with the step's text, after what came before it is written; a sink
// that refuses raises EAbWriteRefused.
inline constexpr std::uint64_t kSizeUnknown = UINT64_MAX;
std::uint64_t pumpDecoded(ByteSink& sink, std::uint64_t size, const DecodeStep& step,
                          const OutputSeen& seen);

// The decoders of these formats as steps.
DecodeStep lzhStep(codec::LzhDecoder& decoder, codec::LzhInput& in);
DecodeStep arjFastStep(codec::ArjFastDecoder& decoder, codec::ArjFastInput& in);
DecodeStep lzssStep(codec::LzssDecoder& decoder, codec::InputBuffer& in);

// Copies count stored bytes from the source's offset, as copySourceRange, showing each slice to
// seen; a source that ends early raises after what it had is written.
void copyStored(ByteSource& source, std::uint64_t offset, std::uint64_t count, ByteSink& sink,
                const OutputSeen& seen);

} // namespace kyv::archive
