// The module's C interface: one open archive per handle, one header per call, and exactly one
// process call after each header. Nothing is thrown past these functions.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "platform/file.h"
#include "platform/widetext.h"
#include "unrar/rar_archive.h"
#include "unrar/unrar_abi.h"

namespace kyv::unrar {
namespace {

struct OpenArchive {
  std::string path;
  std::unique_ptr<platform::FileSource> file;
  std::unique_ptr<RarArchive> archive;
  unsigned mode = kOpenList;
  bool headerPending = false;
  RarEntry entry;
  std::string narrowName; // the member name in the system's code page
};

int codeOf(RarStatus s) {
  switch (s) {
  case RarStatus::Ok:
    return kSuccess;
  case RarStatus::End:
    return kEndArchive;
  case RarStatus::NoMemory:
    return kNoMemory;
  case RarStatus::BadData:
    return kBadData;
  case RarStatus::BadArchive:
    return kBadArchive;
  case RarStatus::UnknownFormat:
    return kUnknownFormat;
  case RarStatus::OpenError:
    return kOpenError;
  case RarStatus::WriteError:
    return kWriteError;
  case RarStatus::MissingPassword:
    return kMissingPassword;
  }
  return kUnknown;
}

template <std::size_t N> void copyNarrow(char (&dst)[N], const std::string& src) {
  const std::size_t n = std::min(src.size(), N - 1);
  std::memcpy(dst, src.data(), n);
  dst[n] = 0;
}

template <std::size_t N> void copyWide(wchar_t (&dst)[N], const std::u16string& src) {
  std::size_t o = 0;
  for (std::size_t i = 0; i < src.size() && o + 1 < N; ++i) {
    char32_t c = src[i];
    if constexpr (sizeof(wchar_t) == 4) {
      if (c >= 0xD800 && c < 0xDC00 && i + 1 < src.size() && src[i + 1] >= 0xDC00 &&
          src[i + 1] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (src[++i] - 0xDC00);
    }
    dst[o++] = static_cast<wchar_t>(c);
  }
  dst[o] = 0;
}

// The narrow name is the wide one in the system's code page, whatever the archive stored.
void fillHeader(OpenArchive& a, RARHeaderDataEx& h) {
  const RarEntry& e = a.entry;
  copyNarrow(h.ArcName, a.path);
  std::u16string wideArc(a.path.begin(), a.path.end());
  copyWide(h.ArcNameW, wideArc);
  copyWide(h.FileNameW, e.wideName);
  a.narrowName = platform::wideToAnsi(h.FileNameW, 1024);
  copyNarrow(h.FileName, a.narrowName);
  h.Flags = (e.splitBefore ? kFileSplitBefore : 0) | (e.splitAfter ? kFileSplitAfter : 0) |
            (e.encrypted ? kFileEncrypted : 0) | (e.solid ? kFileSolid : 0) |
            (e.directory ? kFileDirectory : 0);
  const std::uint64_t unp = e.unpSize == UINT64_MAX ? 0 : e.unpSize;
  h.PackSize = static_cast<unsigned>(e.packSize);
  h.PackSizeHigh = static_cast<unsigned>(e.packSize >> 32);
  h.UnpSize = static_cast<unsigned>(unp);
  h.UnpSizeHigh = static_cast<unsigned>(unp >> 32);
  h.HostOS = e.hostOs;
  h.FileCRC = e.crc;
  h.FileTime = e.fileTime;
  h.UnpVer = e.unpVer;
  h.Method = e.method;
  h.FileAttr = e.attributes;
  h.CmtSize = 0;
  h.CmtState = 0;
  h.DictSize = static_cast<unsigned>(std::min<std::uint64_t>(e.dictionary / 1024, UINT32_MAX));
  h.HashType = e.blake2 ? 2 : (e.hasCrc ? 1 : 0);
  std::memcpy(h.Hash, e.hash.data(), sizeof h.Hash);
  h.RedirType = e.redirection;
}

// Destination when the caller gives a folder instead of a full name: only the member's last
// name part is used, so a stored path can never climb out of that folder.
std::string joinDestination(const char* folder, const std::string& member) {
  std::string base = member.substr(
      member.find_last_of('/') == std::string::npos ? 0 : member.find_last_of('/') + 1);
  if (base.empty() || base == "." || base == "..")
    return {};
  std::string out = folder;
  if (!out.empty() && out.back() != '/' && out.back() != '\\')
    out.push_back('/');
  return out + base;
}

int process(OpenArchive& a, int operation, const char* destPath, const char* destName) {
  if (!a.headerPending)
    return kBadArchive;
  a.headerPending = false;
  if (operation == kOpSkip || a.mode == kOpenList)
    return codeOf(a.archive->skip());
  if (operation == kOpTest)
    return codeOf(a.archive->extract(nullptr));
  if (operation != kOpExtract)
    return codeOf(a.archive->skip());
  if (a.entry.directory)
    return codeOf(a.archive->skip());
  std::string target;
  if (destName != nullptr)
    target = destName;
  else
    target = joinDestination(destPath != nullptr ? destPath : ".", a.narrowName);
  if (target.empty()) {
    (void)a.archive->skip();
    return kCreateError;
  }
  auto file = platform::File::create(target);
  if (!file) {
    (void)a.archive->skip();
    return kCreateError;
  }
  RarStatus st;
  {
    platform::FileSink sink(std::move(*file));
    st = a.archive->extract(&sink);
  }
  if (st != RarStatus::Ok)
    platform::deleteFile(target); // a failed member leaves nothing half-written behind
  return codeOf(st);
}

} // namespace
} // namespace kyv::unrar

using namespace kyv::unrar;

extern "C" {

RarHandle KYV_UNRAR_CALL RAROpenArchiveEx(RAROpenArchiveDataEx* data) {
  if (data == nullptr)
    return nullptr;
  try {
    data->OpenResult = kOpenError;
    data->Flags = 0;
    data->CmtSize = 0;
    data->CmtState = 0;
    if (data->ArcName == nullptr)
      return nullptr;
    auto a = std::make_unique<OpenArchive>();
    a->path = data->ArcName;
    a->mode = data->OpenMode;
    a->file = kyv::platform::FileSource::open(a->path);
    if (!a->file)
      return nullptr;
    a->archive = std::make_unique<RarArchive>(*a->file);
    const RarStatus st = a->archive->open();
    data->Flags = a->archive->archiveFlags();
    if (st != RarStatus::Ok) {
      data->OpenResult = static_cast<unsigned>(codeOf(st));
      return nullptr;
    }
    data->OpenResult = kSuccess;
    return a.release();
  } catch (const std::bad_alloc&) {
    data->OpenResult = kNoMemory;
  } catch (...) {
    data->OpenResult = kUnknown;
  }
  return nullptr;
}

int KYV_UNRAR_CALL RARCloseArchive(RarHandle handle) {
  delete static_cast<OpenArchive*>(handle);
  return kSuccess;
}

int KYV_UNRAR_CALL RARReadHeaderEx(RarHandle handle, RARHeaderDataEx* header) {
  if (handle == nullptr || header == nullptr)
    return kBadArchive;
  auto& a = *static_cast<OpenArchive*>(handle);
  try {
    a.headerPending = false;
    const RarStatus st = a.archive->next(a.entry);
    if (st != RarStatus::Ok)
      return codeOf(st);
    a.headerPending = true;
    fillHeader(a, *header);
    return kSuccess;
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (...) {
    return kUnknown;
  }
}

int KYV_UNRAR_CALL RARProcessFile(RarHandle handle, int operation, char* destPath, char* destName) {
  if (handle == nullptr)
    return kBadArchive;
  try {
    return process(*static_cast<OpenArchive*>(handle), operation, destPath, destName);
  } catch (const std::bad_alloc&) {
    return kNoMemory;
  } catch (...) {
    return kUnknown;
  }
}

} // extern "C"
