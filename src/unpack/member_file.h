// The temporary file one extractor level writes its members into, as a sink that charges every
// byte to the scan's budget. The file is created afresh for each member (never through an
// existing file or link) and deleted when the object goes, on every way out.
#pragma once

#include <optional>
#include <string>

#include "base/byte_io.h"
#include "platform/file.h"

namespace kyv::unpack {

class TKYVDecompress;

class MemberFile final : public ByteSink {
public:
  MemberFile(TKYVDecompress& owner, std::string path);
  ~MemberFile() override;
  MemberFile(const MemberFile&) = delete;
  MemberFile& operator=(const MemberFile&) = delete;

  // Replaces whatever the path holds with a new empty file for the member named; false when it
  // cannot be made. A file that cannot be made or written is reported to the owner as a gap.
  bool create(std::string itemName = {});
  bool write(std::span<const std::byte> data) override;
  // Closes the file and returns the bytes written since create().
  std::uint64_t close();
  void remove();

  const std::string& path() const { return path_; }
  std::uint64_t written() const { return written_; }
  // The budget of the scan ran out while this member was written: it is incomplete and must not
  // be delivered.
  bool cutOff() const { return cutOff_; }

private:
  TKYVDecompress& owner_;
  std::string path_;
  std::string item_;
  std::optional<platform::File> file_;
  std::uint64_t written_ = 0;
  bool cutOff_ = false;
  bool writeFailed_ = false;
};

} // namespace kyv::unpack
