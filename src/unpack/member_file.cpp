#include "unpack/member_file.h"

#include "platform/system.h"
#include "unpack/decompress.h"

namespace kyv::unpack {

MemberFile::MemberFile(TKYVDecompress& owner, std::string path)
    : owner_(owner), path_(std::move(path)) {}

MemberFile::~MemberFile() { remove(); }

bool MemberFile::create(std::string itemName) {
  file_.reset();
  item_ = std::move(itemName);
  written_ = 0;
  cutOff_ = false;
  writeFailed_ = false;
  // The previous member's file goes first; the new one is created exclusively so that nothing
  // planted at this name (a link, another user's file) is ever written through.
  platform::deleteFile(path_);
  file_ = platform::File::create(path_, true);
  if (!file_)
    owner_.RecordGap(TGapKind::MemberNotWritten, item_,
                     "cannot create " + path_ + ": " + platform::lastErrorText());
  return file_.has_value();
}

bool MemberFile::write(std::span<const std::byte> data) {
  if (!file_ || cutOff_)
    return false;
  // What still fits the budget is written, so a member cut off holds everything up to the
  // limit however large the pieces it comes in.
  const std::uint64_t room = owner_.BytesLeft();
  if (data.size() > room) {
    if (room > 0)
      (void)write(data.first(static_cast<std::size_t>(room)));
    // The rest does not fit: this reports the limit and ends the scan's unpacking.
    (void)owner_.ChargeBytes(data.size() - room);
    cutOff_ = true;
    return false;
  }
  if (!owner_.ChargeBytes(data.size())) {
    cutOff_ = true;
    return false;
  }
  if (!file_->write(data)) {
    // A full disk fails every later write of this member too: one report is enough.
    if (!writeFailed_)
      owner_.RecordGap(TGapKind::MemberNotWritten, item_,
                       "cannot write " + path_ + ": " + platform::lastErrorText());
    writeFailed_ = true;
    return false;
  }
  written_ += data.size();
  return true;
}

std::uint64_t MemberFile::close() {
  file_.reset();
  return written_;
}

void MemberFile::remove() {
  file_.reset();
  platform::deleteFile(path_);
}

} // namespace kyv::unpack
