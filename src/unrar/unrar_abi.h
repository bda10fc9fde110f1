// The four-function C interface of the RAR decoding module, with the record layouts, result codes,
// open modes and operations of the public interface, so that a caller built against this header
// works with our module and with any other build of the same interface for the same system.
//
// On 32-bit Windows the records have the layout of that system (4-byte pointers, 2-byte wchar_t)
// and the functions are stdcall; on 64-bit POSIX the same fields stand in the same order with
// native pointers and a 4-byte wchar_t. Callers allocate the header record zeroed.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && defined(__i386__)
#define KYV_UNRAR_CALL __attribute__((stdcall))
#else
#define KYV_UNRAR_CALL
#endif

namespace kyv::unrar {

// Result codes.
inline constexpr int kSuccess = 0;
inline constexpr int kEndArchive = 10;
inline constexpr int kNoMemory = 11;
inline constexpr int kBadData = 12;
inline constexpr int kBadArchive = 13;
inline constexpr int kUnknownFormat = 14;
inline constexpr int kOpenError = 15;
inline constexpr int kCreateError = 16;
inline constexpr int kCloseError = 17;
inline constexpr int kReadError = 18;
inline constexpr int kWriteError = 19;
inline constexpr int kSmallBuffer = 20;
inline constexpr int kUnknown = 21;
inline constexpr int kMissingPassword = 22;

// Open modes.
inline constexpr unsigned kOpenList = 0;
inline constexpr unsigned kOpenExtract = 1;

// Operations of RARProcessFile.
inline constexpr int kOpSkip = 0;
inline constexpr int kOpTest = 1;
inline constexpr int kOpExtract = 2;

// Archive flags reported in the open record's Flags.
inline constexpr unsigned kArcVolume = 0x0001;
inline constexpr unsigned kArcComment = 0x0002;
inline constexpr unsigned kArcLock = 0x0004;
inline constexpr unsigned kArcSolid = 0x0008;
inline constexpr unsigned kArcNewNumbering = 0x0010;
inline constexpr unsigned kArcSigned = 0x0020;
inline constexpr unsigned kArcRecovery = 0x0040;
inline constexpr unsigned kArcEncHeaders = 0x0080;
inline constexpr unsigned kArcFirstVolume = 0x0100;

// Member flags reported in the header record's Flags.
inline constexpr unsigned kFileSplitBefore = 0x01;
inline constexpr unsigned kFileSplitAfter = 0x02;
inline constexpr unsigned kFileEncrypted = 0x04;
inline constexpr unsigned kFileSolid = 0x10;
inline constexpr unsigned kFileDirectory = 0x20;

// Callback type of the public record; this module never calls it.
using UnrarCallback = int(KYV_UNRAR_CALL*)(unsigned msg, std::intptr_t userData, std::intptr_t p1,
                                           std::intptr_t p2);

struct RAROpenArchiveDataEx {
  char* ArcName;
  wchar_t* ArcNameW;
  unsigned OpenMode;
  unsigned OpenResult;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned Flags;
  UnrarCallback Callback;
  std::intptr_t UserData;
  unsigned OpFlags;
  wchar_t* CmtBufW;
  wchar_t* MarkOfTheWeb;
  unsigned Reserved[27];
};

struct RARHeaderDataEx {
  char ArcName[1024];
  wchar_t ArcNameW[1024];
  char FileName[1024];
  wchar_t FileNameW[1024];
  unsigned Flags;
  unsigned PackSize;
  unsigned PackSizeHigh;
  unsigned UnpSize;
  unsigned UnpSizeHigh;
  unsigned HostOS;
  unsigned FileCRC;
  unsigned FileTime;
  unsigned UnpVer;
  unsigned Method;
  unsigned FileAttr;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned DictSize;
  unsigned HashType;
  char Hash[32];
  unsigned RedirType;
  wchar_t* RedirName;
  unsigned RedirNameSize;
  unsigned DirTarget;
  unsigned MtimeLow;
  unsigned MtimeHigh;
  unsigned CtimeLow;
  unsigned CtimeHigh;
  unsigned AtimeLow;
  unsigned AtimeHigh;
  unsigned Reserved[988];
};

#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(RAROpenArchiveDataEx) == 164);
static_assert(offsetof(RAROpenArchiveDataEx, OpenMode) == 8);
static_assert(offsetof(RAROpenArchiveDataEx, OpenResult) == 12);
static_assert(offsetof(RAROpenArchiveDataEx, CmtBuf) == 16);
static_assert(offsetof(RAROpenArchiveDataEx, CmtBufSize) == 20);
static_assert(offsetof(RARHeaderDataEx, ArcNameW) == 1024);
static_assert(offsetof(RARHeaderDataEx, FileName) == 3072);
static_assert(offsetof(RARHeaderDataEx, FileNameW) == 4096);
static_assert(offsetof(RARHeaderDataEx, Flags) == 6144);
static_assert(offsetof(RARHeaderDataEx, PackSize) == 6148);
static_assert(offsetof(RARHeaderDataEx, PackSizeHigh) == 6152);
static_assert(offsetof(RARHeaderDataEx, UnpSize) == 6156);
static_assert(offsetof(RARHeaderDataEx, UnpSizeHigh) == 6160);
static_assert(offsetof(RARHeaderDataEx, HostOS) == 6164);
static_assert(offsetof(RARHeaderDataEx, FileCRC) == 6168);
static_assert(offsetof(RARHeaderDataEx, FileTime) == 6172);
static_assert(offsetof(RARHeaderDataEx, UnpVer) == 6176);
static_assert(offsetof(RARHeaderDataEx, Method) == 6180);
static_assert(offsetof(RARHeaderDataEx, FileAttr) == 6184);
static_assert(offsetof(RARHeaderDataEx, CmtBuf) == 6188);
#endif

// The four entry points, as exported names and as pointer types for callers that look them up.
using RarHandle = void*;
using RAROpenArchiveExFn = RarHandle(KYV_UNRAR_CALL*)(RAROpenArchiveDataEx* data);
using RARCloseArchiveFn = int(KYV_UNRAR_CALL*)(RarHandle handle);
using RARReadHeaderExFn = int(KYV_UNRAR_CALL*)(RarHandle handle, RARHeaderDataEx* header);
using RARProcessFileFn = int(KYV_UNRAR_CALL*)(RarHandle handle, int operation, char* destPath,
                                              char* destName);

} // namespace kyv::unrar

extern "C" {
kyv::unrar::RarHandle KYV_UNRAR_CALL RAROpenArchiveEx(kyv::unrar::RAROpenArchiveDataEx* data);
int KYV_UNRAR_CALL RARCloseArchive(kyv::unrar::RarHandle handle);
int KYV_UNRAR_CALL RARReadHeaderEx(kyv::unrar::RarHandle handle,
                                   kyv::unrar::RARHeaderDataEx* header);
int KYV_UNRAR_CALL RARProcessFile(kyv::unrar::RarHandle handle, int operation, char* destPath,
                                  char* destName);
}
