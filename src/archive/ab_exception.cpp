#include "archive/ab_exception.h"

#include <array>
#include <utility>

namespace kyv::archive {

namespace {
constexpr std::array<std::pair<int, std::string_view>, 25> kTexts{{
    {AbCode::ZipVersion, "Cannot extract file - newer version required"},
    {AbCode::ZipInvalidMethod, "Cannot extract file - unsupported compression method"},
    {AbCode::ZipInvalidPassword, "Cannot extract file - invalid password"},
    {AbCode::ZipInvalidFactor, "Invalid Reduce Factor"},
    {AbCode::UserAbort, "Process aborted by user"},
    {AbCode::InsertFloppy, "Insert floppy"},
    {AbCode::InsertLastDisk, "Insert the last disk in the spanned disk set"},
    {AbCode::InsertDiskNumber, "Insert disk number %d of the spanned disk set"},
    {AbCode::NoSuchDirectory, "Directory does not exist"},
    {AbCode::BadStream, "Invalid Stream"},
    {AbCode::ZipBadCRC, "Failed CRC Check"},
    {AbCode::FileNotFound, "File not found"},
    {AbCode::NoArchive, "Archive does not exist - Filename is blank"},
    {AbCode::ZipInvalid, "Invalid file - not a PKZip file"},
    {AbCode::ReadError, "Error reading archive"},
    {AbCode::ImageFileName, "Image file name"},
    {AbCode::UnhandledType, "Unhandled Archive Type"},
    {AbCode::InsertSpanNumber, "Insert span number %d of the spanned file set"},
    {AbCode::NoCabinetDll, "Cannot load cabinet.dll"},
    {AbCode::FDICopyError, "FDI cannot enumerate files"},
    {AbCode::FDICreateError, "FDI cannot create context"},
    {AbCode::InvalidCabFile, "Invalid file - not a cabinet file"},
    {AbCode::GzipInvalid, "Invalid Gzip"},
    {AbCode::GzipBadCRC, "Bad CRC"},
    {AbCode::GzipBadFileSize, "Bad File Size"},
}};

// The library's name leads the text; the rest is fixed.
constexpr std::string_view kInflateLead =
    "KyvArc inflate error, possibly a corrupted compressed stream. (Internal cause: ";
} // namespace

std::string_view abErrorText(int code) {
  for (const auto& [c, text] : kTexts)
    if (c == code)
      return text;
  return {};
}

EAbException::EAbException(int code, ErrorKind kind)
    : kyv::Error(kind, std::string(abErrorText(code))), code_(code) {}

EAbException::EAbException(const std::string& message, int code, ErrorKind kind)
    : kyv::Error(kind, message), code_(code) {}

EAbInflateError::EAbInflateError(const std::string& internalCause)
    : EAbException(std::string(kInflateLead) + internalCause + ")", AbCode::Unknown,
                   ErrorKind::DataError) {}

} // namespace kyv::archive
