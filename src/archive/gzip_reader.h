// The GZIP reader: a GZIP file as an archive of exactly one member, extracted into a file.
#pragma once

#include <memory>
#include <string>

#include "archive/gzip_format.h"
#include "archive/tar_reader.h"

namespace kyv::archive {

class TAbGzipItem : public TAbArchiveItem {
public:
  TAbGzipHeader Header;
};

class TAbGzipArchive : public TAbTarArchive {
public:
  explicit TAbGzipArchive(const std::string& fileName);
  TAbGzipArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // Inflates member 0 into nothing and compares with the trailers: EAbGzipBadCRC or
  // EAbGzipBadFileSize when they differ.
  void TestMember(int index);

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;
  void ExtractItemAt(int index, const std::string& targetPath) override;

private:
  // Checks and prepares the folder a target is written to; false when an overwrite hook
  // refused an existing target.
  bool PrepareTarget(const std::string& targetPath);
  // Inflates the data of every GZIP member of the file into stream and stores the total size;
  // with verify, checks each trailer. Returns the CRC-32 when the file holds one member.
  std::uint32_t InflateMember(TAbGzipItem& item, ByteSink& stream, bool verify);
  TAbGzipItem& Member(int index);
};

} // namespace kyv::archive
