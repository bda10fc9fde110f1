// The TAR reader: lists the regular files of a TAR archive and copies a member's bytes out.
#pragma once

#include <memory>
#include <string>

#include "archive/ab_archive.h"
#include "archive/tar_format.h"

namespace kyv::archive {

class TAbTarItem : public TAbArchiveItem {
public:
  TAbTarItem() = default;
  explicit TAbTarItem(const TarEntry& entry);

  TarHeaderBytes Header{};
  // Where the member's header block starts, and where its stored bytes are.
  std::uint64_t HeaderOffset = 0;
  std::uint64_t DataOffset = 0;
  std::uint64_t StoredSize = 0;
  std::string LinkName;
  // A sparse member: its stored segments and where they belong; the rest of its
  // UncompressedSize bytes are zeros.
  bool Sparse = false;
  TarSegments Segments;
};

class TAbTarArchive : public TAbArchive {
public:
  explicit TAbTarArchive(const std::string& fileName);
  TAbTarArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);

  // Listing stops after this many members. It is twice what the unpacking kernel takes from
  // one scanned file, so the cap never hides a member the kernel would reach; it keeps a file of
  // nothing but headers from filling memory.
  static constexpr int kMaxMembers = 200000;

protected:
  void LoadArchiveItems() override;
  void ExtractItemToStreamAt(int index, ByteSink& stream) override;
};

// Copies count bytes from source's offset into sink in slices; a source that ends early raises
// the stream read error, a refusing sink EAbWriteRefused.
void copySourceRange(ByteSource& source, std::uint64_t offset, std::uint64_t count, ByteSink& sink);

// Writes a sparse member's real bytes: its segments, stored one after another from offset, at
// their places, and zeros in between and up to realSize. A map whose segments go backwards,
// overlap or pass realSize is damage (EAbException).
void writeSparse(ByteSource& source, std::uint64_t offset, const TarSegments& segments,
                 std::uint64_t realSize, ByteSink& sink);

} // namespace kyv::archive
