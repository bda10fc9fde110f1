// The error family of the archive readers: every error carries a numeric ErrorCode and the text
// of that code, so callers can classify a failure without looking at the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"

namespace kyv::archive {

// Codes of the archive library; their texts are in ab_exception.cpp.
namespace AbCode {
inline constexpr int ZipVersion = 1;
inline constexpr int ZipInvalidMethod = 2;
inline constexpr int ZipInvalidPassword = 4;
inline constexpr int ZipInvalidFactor = 6;
inline constexpr int UserAbort = 9;
inline constexpr int InsertFloppy = 11;
inline constexpr int InsertLastDisk = 12;
inline constexpr int InsertDiskNumber = 14;
inline constexpr int NoSuchDirectory = 19;
inline constexpr int BadStream = 21;
inline constexpr int ZipBadCRC = 23;
inline constexpr int FileNotFound = 25;
inline constexpr int NoArchive = 27;
inline constexpr int ZipInvalid = 28;
inline constexpr int ReadError = 29;
inline constexpr int ImageFileName = 34;
inline constexpr int UnhandledType = 35;
inline constexpr int InsertSpanNumber = 37;
inline constexpr int NoCabinetDll = 50;
inline constexpr int FDICopyError = 61;
inline constexpr int FDICreateError = 62;
inline constexpr int InvalidCabFile = 64;
inline constexpr int GzipInvalid = 400;
inline constexpr int GzipBadCRC = 401;
inline constexpr int GzipBadFileSize = 402;
// Errors that carry their own text rather than one of the table (inflate, "Invalid Item", ...).
inline constexpr int Unknown = 0;
} // namespace AbCode

// The text of a code, empty for codes without one.
std::string_view abErrorText(int code);

class EAbException : public kyv::Error {
public:
  // An error with its code's text.
  explicit EAbException(int code, ErrorKind kind = ErrorKind::Other);
  // An error with a text of its own (the code is Unknown unless given).
  explicit EAbException(const std::string& message, int code = AbCode::Unknown,
                        ErrorKind kind = ErrorKind::Other);
  int ErrorCode() const { return code_; }

private:
  int code_;
};

#define KYV_AB_ERROR(Name, Code, Kind)                                                             \
  class Name : public EAbException {                                                               \
  public:                                                                                          \
    Name() : EAbException(Code, Kind) {}                                                           \
  };

KYV_AB_ERROR(EAbZipVersion, AbCode::ZipVersion, ErrorKind::Unsupported)
KYV_AB_ERROR(EAbZipInvalidMethod, AbCode::ZipInvalidMethod, ErrorKind::Unsupported)
KYV_AB_ERROR(EAbZipInvalidPassword, AbCode::ZipInvalidPassword, ErrorKind::Unsupported)
KYV_AB_ERROR(EAbZipInvalidFactor, AbCode::ZipInvalidFactor, ErrorKind::DataError)
KYV_AB_ERROR(EAbUserAbort, AbCode::UserAbort, ErrorKind::Other)
KYV_AB_ERROR(EAbNoSuchDirectory, AbCode::NoSuchDirectory, ErrorKind::Io)
KYV_AB_ERROR(EAbBadStream, AbCode::BadStream, ErrorKind::Io)
KYV_AB_ERROR(EAbZipBadCRC, AbCode::ZipBadCRC, ErrorKind::CrcError)
KYV_AB_ERROR(EAbFileNotFound, AbCode::FileNotFound, ErrorKind::Io)
KYV_AB_ERROR(EAbNoArchive, AbCode::NoArchive, ErrorKind::Other)
KYV_AB_ERROR(EAbZipInvalid, AbCode::ZipInvalid, ErrorKind::BadHeader)
KYV_AB_ERROR(EAbReadError, AbCode::ReadError, ErrorKind::UnexpectedEnd)
KYV_AB_ERROR(EAbUnhandledType, AbCode::UnhandledType, ErrorKind::Unsupported)
KYV_AB_ERROR(EAbNoCabinetDll, AbCode::NoCabinetDll, ErrorKind::Io)
KYV_AB_ERROR(EAbFDICopyError, AbCode::FDICopyError, ErrorKind::DataError)
KYV_AB_ERROR(EAbFDICreateError, AbCode::FDICreateError, ErrorKind::Other)
KYV_AB_ERROR(EAbInvalidCabFile, AbCode::InvalidCabFile, ErrorKind::BadHeader)
KYV_AB_ERROR(EAbGzipInvalid, AbCode::GzipInvalid, ErrorKind::BadHeader)
KYV_AB_ERROR(EAbGzipBadCRC, AbCode::GzipBadCRC, ErrorKind::CrcError)
KYV_AB_ERROR(EAbGzipBadFileSize, AbCode::GzipBadFileSize, ErrorKind::DataError)
#undef KYV_AB_ERROR

// Inflate's public failures. The message of EAbInflateError is the fixed lead text followed by
// the internal cause; see inflate.h.
class EAbInflateError : public EAbException {
public:
  explicit EAbInflateError(const std::string& internalCause);
};
class EAbInflatePasswordError : public EAbException {
public:
  EAbInflatePasswordError()
      : EAbException("Inflate: stream is encrypted but passphrase is wrong", AbCode::Unknown,
                     ErrorKind::Unsupported) {}
};

} // namespace kyv::archive
