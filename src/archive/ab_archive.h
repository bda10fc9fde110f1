// The base of every archive reader: the member list in directory order with its name index, the
// status, the optional hooks, the lock, and member extraction with failure containment. The ZIP,
// TAR, GZIP and CAB readers derive from TAbArchive and TAbArchiveItem.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "archive/ab_exception.h"
#include "base/byte_io.h"

namespace kyv::archive {

enum class TAbArchiveStatus { asInvalid, asIdle, asBusy };

enum class TAbProcessType {
  ptAdd,
  ptDelete,
  ptExtract,
  ptFreshen,
  ptMove,
  ptReplace,
  ptFoundUnhandled
};

// What kind of failure a member extraction ended with (see ClassifyFailure).
enum class TAbErrorClass {
  ecLibrary,         // an EAbException: the code says which
  ecInOutError,      // the operating system refused a read or write
  ecFilerError,      // a stream or sink refused its work
  ecFileCreateError, // a target file could not be created
  ecFileOpenError,   // a file could not be opened
  ecOther,
};

// Extraction options; the readers here use only eoCreateDirs and eoRestorePath.
enum TAbExtractOption : unsigned { eoCreateDirs = 1, eoRestorePath = 2 };

// The target of a test-only extraction: counts and discards.
using TAbBitBucketStream = NullSink;

// Failures of the file layer that are not library errors but must be told apart when classified.
class EAbFileCreateError : public kyv::Error {
public:
  explicit EAbFileCreateError(const std::string& path)
      : kyv::Error(ErrorKind::Io, "Cannot create file " + path) {}
};
class EAbFileOpenError : public kyv::Error {
public:
  explicit EAbFileOpenError(const std::string& path)
      : kyv::Error(ErrorKind::Io, "Cannot open file " + path) {}
};
// A sink that refused bytes (full disk, budget reached): the member stops there.
class EAbWriteRefused : public kyv::Error {
public:
  EAbWriteRefused() : kyv::Error(ErrorKind::Limit, "The target refused the member's data") {}
};

class TAbArchiveItem {
public:
  virtual ~TAbArchiveItem() = default;

  std::string FileName; // as listed, after any code-page conversion
  std::uint64_t CompressedSize = 0;
  std::uint64_t UncompressedSize = 0;
  std::uint32_t CRC32 = 0;
  bool IsEncrypted = false;
  std::uint16_t LastModFileTime = 0;
  std::uint16_t LastModFileDate = 0;
  std::uint32_t ExternalFileAttributes = 0;

  // Names that end in a folder separator are folder entries.
  bool IsDirectory() const;
};

// The members in directory order plus a hash index over their names: 1021 buckets, the ELF hash
// of the name upper-cased by the Windows-1251 rules, each bucket a chain with the newest member
// first, so a name listed twice finds its later member.
class TAbArchiveList {
public:
  static constexpr std::size_t kBuckets = 1021;

  TAbArchiveList();
  // Appends an item; returns its index.
  int Add(std::unique_ptr<TAbArchiveItem> item);
  void Clear();
  int Count() const { return static_cast<int>(items_.size()); }
  TAbArchiveItem* At(int index) const;
  // Index of the chain-first member whose name equals name without regard to ASCII letter case,
  // or -1.
  int Find(std::string_view name) const;

  static std::uint32_t ElfHash(std::string_view name);

private:
  std::vector<std::unique_ptr<TAbArchiveItem>> items_;
  std::vector<int> next_;             // next index in the same bucket, -1 ends
  std::array<int, kBuckets> heads_{}; // first index of each bucket, -1 when empty
};

// The stream every archive reads through. It owns the underlying source; switching between the
// volumes of a spanned set is not supported, so it is a plain pass-through.
class TAbSpanStream final : public ByteSource {
public:
  explicit TAbSpanStream(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}
  std::size_t read(std::span<std::byte> out) override { return inner_->read(out); }
  bool seek(std::uint64_t offset) override { return inner_->seek(offset); }
  std::uint64_t size() const override { return inner_->size(); }
  std::uint64_t position() const override { return inner_->position(); }

private:
  std::unique_ptr<ByteSource> inner_;
};

class TAbArchive {
public:
  // Hooks; each is optional and tested before it is called. Confirmation hooks that are not set
  // answer yes.
  using TAbConfirmProcessItemEvent = std::function<void(TAbArchive& sender, TAbArchiveItem& item,
                                                        TAbProcessType type, bool& confirm)>;
  using TAbProcessItemFailureEvent =
      std::function<void(TAbArchive& sender, TAbArchiveItem& item, TAbProcessType type,
                         TAbErrorClass errorClass, int errorCode)>;
  using TAbNeedPasswordEvent = std::function<void(TAbArchive& sender, std::string& newPassword)>;
  using TAbProgressEvent = std::function<void(TAbArchive& sender, int progress, bool& abort)>;
  using TAbRequestDiskEvent = std::function<void(TAbArchive& sender, bool& abort)>;
  using TAbConfirmOverwriteEvent = std::function<void(std::string& name, bool& confirm)>;

  // Opens the named file read-only (sharing allowed) through a TAbSpanStream.
  explicit TAbArchive(const std::string& fileName);
  // Reads an already open source (memory, a member of another container); fileName is only a name.
  TAbArchive(std::unique_ptr<ByteSource> stream, const std::string& fileName);
  virtual ~TAbArchive();
  TAbArchive(const TAbArchive&) = delete;
  TAbArchive& operator=(const TAbArchive&) = delete;

  // Reads the member list. On success the archive is idle; on failure it is invalid and the
  // error is raised.
  void LoadDirectory();

  int MemberCount() const { return items_.Count(); }
  TAbArchiveItem* MemberAt(int index) const { return items_.At(index); }
  int FindMember(std::string_view name) const { return items_.Find(name); }

  // Writes the named member's bytes into stream from its current position. An invalid archive
  // raises EAbNoArchive; an unknown name writes nothing. Failures of the member itself are not
  // raised: they go to OnProcessItemFailure (when set) and the stream keeps what was written.
  void ExtractMemberToStream(std::string_view name, ByteSink& stream);
  // Writes member index into a file at targetPath, with the same containment.
  void ExtractMemberAt(int index, const std::string& targetPath);
  // Writes member index into a stream, with the same containment: for callers that bound what
  // is written (the scan's budget) and so need the bytes to pass through their own sink.
  void ExtractMemberToStreamAt(int index, ByteSink& stream);

  TAbArchiveStatus Status() const { return status_; }
  const std::string& ArchiveName() const { return archiveName_; }
  // The archive's stream; null for readers that leave file access to someone else.
  ByteSource* Stream() const { return stream_.get(); }

  // Settings handed in by the front end.
  std::string Password;
  int PasswordRetries = 3;
  unsigned ExtractOptions = eoCreateDirs;
  std::string BaseDirectory;
  std::string TempDirectory;

  TAbConfirmProcessItemEvent OnConfirmProcessItem;
  TAbProcessItemFailureEvent OnProcessItemFailure;
  TAbNeedPasswordEvent OnNeedPassword;
  TAbProgressEvent OnArchiveProgress;
  TAbRequestDiskEvent OnRequestLastDisk;
  TAbConfirmOverwriteEvent OnConfirmOverwrite;

protected:
  // Archives without a stream of their own (the cabinet reader).
  struct NoStream {};
  TAbArchive(NoStream, const std::string& fileName);

  // Fills the list; called with the lock held. Raise on failure.
  virtual void LoadArchiveItems() = 0;
  // Writes one member's data into a stream; errors propagate to the containment.
  virtual void ExtractItemToStreamAt(int index, ByteSink& stream) = 0;
  // Writes one member into a file. The default creates the file, writes the member through
  // ExtractItemToStreamAt and removes the file again when that fails.
  virtual void ExtractItemAt(int index, const std::string& targetPath);

  // Reports progress; returns false when the hook asked to abort.
  bool DoProgress(int percent);
  // Asks the front end's hook for a password; empty when there is none.
  std::string DoNeedPassword();

  void SetStatus(TAbArchiveStatus status) { status_ = status; }
  TAbArchiveList& Items() { return items_; }

private:
  template <typename Work> void RunContained(int index, Work&& work);

  std::string archiveName_;
  std::unique_ptr<ByteSource> stream_;
  TAbArchiveStatus status_ = TAbArchiveStatus::asInvalid;
  TAbArchiveList items_;
  std::recursive_mutex lock_;
};

// Sorts a caught failure into its class and code, as OnProcessItemFailure reports it.
void ClassifyFailure(std::exception_ptr failure, TAbErrorClass& errorClass, int& errorCode);

} // namespace kyv::archive
