#include "modload/unrar_archive.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace kyv::modload {

void* RAROpenArchiveExProc = nullptr;
void* RARCloseArchiveProc = nullptr;
void* RARReadHeaderExProc = nullptr;
void* RARProcessFileProc = nullptr;

// The fields this wrapper sets and reads, where a genuine 32-bit Windows build of the interface
// has them.
#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(unrar::RAROpenArchiveDataEx) == 164);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, ArcName) == 0);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, ArcNameW) == 4);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, OpenMode) == 8);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, OpenResult) == 12);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, CmtBuf) == 16);
static_assert(offsetof(unrar::RAROpenArchiveDataEx, CmtBufSize) == 20);
static_assert(offsetof(unrar::RARHeaderDataEx, FileNameW) == 4096);
static_assert(offsetof(unrar::RARHeaderDataEx, PackSize) == 6148);
static_assert(offsetof(unrar::RARHeaderDataEx, PackSizeHigh) == 6152);
static_assert(offsetof(unrar::RARHeaderDataEx, UnpSize) == 6156);
static_assert(offsetof(unrar::RARHeaderDataEx, UnpSizeHigh) == 6160);
static_assert(sizeof(wchar_t) == 2);
#endif

namespace {

// Room past the public header record that a longer record of a later interface could use.
constexpr std::size_t kHeaderSlack = 16384;
constexpr unsigned kCommentBufferSize = 16384;

template <typename Fn> Fn entry(void* proc) { return reinterpret_cast<Fn>(proc); }

} // namespace

struct RarHeader::Storage {
  alignas(unrar::RARHeaderDataEx) std::byte bytes[sizeof(unrar::RARHeaderDataEx) + kHeaderSlack];
};

RarHeader::RarHeader() : storage_(std::make_unique<Storage>()) {
  data_ = new (storage_->bytes) unrar::RARHeaderDataEx;
  clear();
}

RarHeader::~RarHeader() = default;

void RarHeader::clear() { std::memset(storage_->bytes, 0, sizeof storage_->bytes); }

bool TUnrarArchive::Open() {
  Close();
  if (RAROpenArchiveExProc == nullptr)
    return false;
  std::vector<char> name(ArchiveName.begin(), ArchiveName.end());
  name.push_back('\0');
  std::vector<char> comment(kCommentBufferSize);
  unrar::RAROpenArchiveDataEx open;
  std::memset(&open, 0, sizeof open);
  open.ArcName = name.data();
  open.OpenMode = unrar::kOpenExtract;
  open.CmtBuf = comment.data();
  open.CmtBufSize = kCommentBufferSize;
  Handle = entry<unrar::RAROpenArchiveExFn>(RAROpenArchiveExProc)(&open);
  // A handle that comes with a failed open is kept so that Close gives it back.
  return Handle != nullptr && open.OpenResult == unrar::kSuccess;
}

int TUnrarArchive::ReadHeader(RarHeader& header) {
  if (Handle == nullptr || RARReadHeaderExProc == nullptr)
    return -1;
  return entry<unrar::RARReadHeaderExFn>(RARReadHeaderExProc)(Handle, &header.data());
}

int TUnrarArchive::ExtractCurrent(const std::string& targetPath) {
  if (Handle == nullptr || RARProcessFileProc == nullptr)
    return -1;
  std::vector<char> target(targetPath.begin(), targetPath.end());
  target.push_back('\0');
  return entry<unrar::RARProcessFileFn>(RARProcessFileProc)(Handle, unrar::kOpExtract, nullptr,
                                                            target.data());
}

void TUnrarArchive::SkipCurrent() {
  if (Handle != nullptr && RARProcessFileProc != nullptr)
    entry<unrar::RARProcessFileFn>(RARProcessFileProc)(Handle, unrar::kOpSkip, nullptr, nullptr);
}

bool TUnrarArchive::Close() {
  if (Handle != nullptr && RARCloseArchiveProc != nullptr)
    entry<unrar::RARCloseArchiveFn>(RARCloseArchiveProc)(Handle);
  Handle = nullptr;
  return true;
}

} // namespace kyv::modload
