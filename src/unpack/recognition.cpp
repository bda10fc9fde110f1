#include "unpack/recognition.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "archive/arj_format.h"
#include "archive/bzip2_reader.h"
#include "archive/cpio_format.h"
#include "archive/disk_image.h"
#include "archive/lzh_format.h"
#include "archive/lzma_alone.h"
#include "archive/sevenzip_format.h"
#include "archive/szdd_format.h"
#include "archive/xz_reader.h"
#include "base/text.h"
#include "document/compound_file.h"
#include "document/html_blobs.h"
#include "mail/binhex.h"
#include "platform/file.h"

namespace kyv::unpack {

namespace {

bool at(std::span<const std::byte> head, std::size_t offset, std::string_view magic) {
  return offset <= head.size() && magic.size() <= head.size() - offset &&
         std::memcmp(head.data() + offset, magic.data(), magic.size()) == 0;
}

bool isZip(std::span<const std::byte> h) { return at(h, 0, std::string_view("PK\x03\x04", 4)); }
// A further type recognised by its first two bytes and deliberately left packed.
bool isEa(std::span<const std::byte> h) { return at(h, 0, "\x60\xEA"); }
bool isCab(std::span<const std::byte> h) { return at(h, 0, "MSCF"); }
bool isGzip(std::span<const std::byte> h) { return at(h, 0, "\x1F\x8B"); }
bool isUstar(std::span<const std::byte> h) { return at(h, 257, "ustar"); }
bool isGnuTar(std::span<const std::byte> h) { return at(h, 257, "GNUtar"); }
bool isChm(std::span<const std::byte> h) { return at(h, 0, "ITSF"); }
bool isRar(std::span<const std::byte> h) { return at(h, 0, "Rar!"); }

// Header names that begin stored messages. "X-Apparently-To:" is sixteen characters long, which
// is why sixteen characters of the head are looked at.
constexpr std::array<std::string_view, 14> kMailKeywords{
    "From",         ">From",        "For:",          "Received:",   "Reply-To:",
    "Return-Path:", "Return-path:", "Delivered-To:", "X-Symantec-", "X-Apparently-To:",
    "X-EVS",        "ID:",          "Date:",         "X-UIDL:"};
constexpr std::size_t kMailHeadChars = 16;

// A head that starts with any other header field is a message when one of these fields follows
// within its first lines: messages stored by clients and forwarded ones start with all sorts of
// fields (Content-Type, MIME-Version, Message-ID, ...).
constexpr std::array<std::string_view, 22> kUsualFields{"From",
                                                        "To",
                                                        "Cc",
                                                        "Subject",
                                                        "Date",
                                                        "Message-ID",
                                                        "MIME-Version",
                                                        "Content-Type",
                                                        "Content-Transfer-Encoding",
                                                        "Received",
                                                        "Return-Path",
                                                        "Reply-To",
                                                        "Sender",
                                                        "In-Reply-To",
                                                        "References",
                                                        "Delivered-To",
                                                        "X-Mailer",
                                                        "User-Agent",
                                                        "Content-Disposition",
                                                        "Envelope-To",
                                                        "X-Original-To",
                                                        "Bcc"};
constexpr int kMailHeadLines = 30;

// Formats the first table did not know are tested after all of its entries, so that every file it
// handled is handled as before.
bool isBinHex(std::span<const std::byte> h) {
  return mail::FindBinHex(std::string_view(reinterpret_cast<const char*>(h.data()), h.size())) !=
         std::string_view::npos;
}

bool isTnef(std::span<const std::byte> h) { return at(h, 0, "\x78\x9F\x3E\x22"); }
// Every compound file: whether it is an Outlook message shows only in its directory, which can
// lie anywhere in the file, so the extractor decides.
bool isCompound(std::span<const std::byte> h) { return document::TCompoundFile::HasSignature(h); }
bool is7z(std::span<const std::byte> h) { return archive::sevenzip::hasSignature(h); }
// The old DOS archivers. ARJ's two bytes alone stay with the packed entry above; this one takes
// only a real main header.
bool isArj(std::span<const std::byte> h) { return archive::isArjMainHeader(h); }
bool isLzh(std::span<const std::byte> h) { return archive::isLzhHeader(h); }
bool isSzdd(std::span<const std::byte> h) { return archive::isSzdd(h); }
bool isKwaj(std::span<const std::byte> h) { return archive::isKwaj(h); }
// Word opens a file as RTF on these four characters, whatever follows ("{\rtf1", "{\rtxyz").
bool isRtf(std::span<const std::byte> h) { return at(h, 0, "{\\rt"); }

// cpio: a whole, well-formed header of any of its four forms.
bool isCpio(std::span<const std::byte> h) { return archive::probeCpio(h).has_value(); }

// Disk images: their volume descriptors begin at 32 KiB.
bool isIso(std::span<const std::byte> area) { return archive::probeIsoVolume(area); }
bool isUdf(std::span<const std::byte> area) { return archive::probeUdfVolume(area); }

// Web pages and SVG images. A stored message is unpacked as mail only, even when its head holds
// markup: its HTML parts reach this test as members of their own.
bool isHtml(std::span<const std::byte> h) {
  return !looksLikeMail(h) && document::LooksLikeHtml(h);
}

// Documents: readers accept the "%PDF-" mark anywhere in the first kilobyte (after a mail
// header, a script's preamble or junk put there to hide it).
bool isPdf(std::span<const std::byte> h) {
  constexpr std::string_view kMark = "%PDF-";
  const std::string_view text(reinterpret_cast<const char*>(h.data()),
                              std::min<std::size_t>(h.size(), 1024));
  return text.find(kMark) != std::string_view::npos;
}

// Sized by its entries, so that adding one touches one line.
constexpr auto kTypes = std::to_array<ContainerType>({
    {"ZIP", isZip, ExtractZip},
    {"EA", isEa, nullptr},
    {"CAB", isCab, ExtractCab},
    {"GZIP", isGzip, ExtractGzip},
    {"TAR", isUstar, ExtractTar},
    {"TAR", isGnuTar, ExtractTar},
    {"CHM", isChm, ExtractChm},
    {"RAR", isRar, ExtractRar},
    {"E-MAIL", looksLikeMail, ExtractEmail},
    {"BINHEX", isBinHex, ExtractBinHex},
    {"TNEF", isTnef, ExtractTnef},
    {"CFB", isCompound, ExtractCompound},
    {"7Z", is7z, Extract7z},
    {"BZIP2", archive::isBzip2Signature, ExtractBzip2},
    {"XZ", archive::isXzSignature, ExtractXz},
    {"LZMA", archive::looksLikeLzmaAlone, ExtractLzma},
    {"CPIO", isCpio, ExtractCpio},
    {"ARJ", isArj, ExtractArj},
    {"LZH", isLzh, ExtractLzh},
    {"SZDD", isSzdd, ExtractSzdd},
    {"KWAJ", isKwaj, ExtractKwaj},
    {"ISO", isIso, ExtractIso, ProbePlace::VolumeArea},
    {"UDF", isUdf, ExtractUdf, ProbePlace::VolumeArea},
    {"RTF", isRtf, ExtractRtf},
    {"HTML", isHtml, ExtractHtml},
    {"PDF", isPdf, ExtractPdf},
});

} // namespace

bool looksLikeMail(std::span<const std::byte> head) {
  std::size_t n = 0;
  while (n < head.size() && n < kMailHeadChars && head[n] != std::byte{0})
    ++n;
  const std::string_view text(reinterpret_cast<const char*>(head.data()), n);
  for (const std::string_view keyword : kMailKeywords)
    if (StartsWith(text, keyword))
      return true;
  return looksLikeMessageHead(head);
}

bool looksLikeMessageHead(std::span<const std::byte> head) {
  // The head up to its first NUL: stored messages are text. Every file that is not a container
  // comes through here, so the search is the library's, not a byte loop.
  if (head.empty())
    return false;
  const auto* nul = static_cast<const std::byte*>(std::memchr(head.data(), 0, head.size()));
  const std::size_t n = nul != nullptr ? static_cast<std::size_t>(nul - head.data()) : head.size();
  std::string_view text(reinterpret_cast<const char*>(head.data()), n);
  // A line is tested from its start and given up on at its first byte that cannot belong to a
  // header field name, so that a long line of text costs a few bytes, not its length.
  const auto skipLine = [&text](std::size_t from) {
    std::size_t end = from;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n')
      ++end;
    const bool crlf = end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n';
    text.remove_prefix(std::min(text.size(), end + (crlf ? 2 : 1)));
  };
  for (int line = 0; line < kMailHeadLines && !text.empty(); ++line) {
    if (text.front() == '\r' || text.front() == '\n')
      return false; // the head ended without a usual field
    if (text.front() == ' ' || text.front() == '\t') {
      if (line == 0)
        return false;
      skipLine(0); // a folded line
      continue;
    }
    // Line ends stop the name: they are control characters.
    std::size_t colon = 0;
    while (colon < text.size() && text[colon] > ' ' && text[colon] < 127 && text[colon] != ':')
      ++colon;
    if (colon == 0 || colon >= text.size() || text[colon] != ':')
      return false; // not a header field: not a message head
    const std::string_view name = text.substr(0, colon);
    for (const std::string_view usual : kUsualFields)
      if (EqualsIgnoreAsciiCase(name, usual))
        return true;
    skipLine(colon);
  }
  return false;
}

std::span<const ContainerType> containerTypes() { return kTypes; }

std::vector<std::string_view> recognise(std::span<const std::byte> head) {
  FileProbe probe(head);
  return recognise(probe);
}

std::vector<std::string_view> recognise(FileProbe& probe) {
  std::vector<std::string_view> names;
  for (const ContainerType& type : containerTypes())
    if (type.test(probe.bytesFor(type)))
      names.push_back(type.name);
  return names;
}

std::span<const std::byte> FileProbe::volumeArea() {
  if (areaRead_)
    return area_;
  areaRead_ = true;
  const std::uint64_t first = archive::kVolumeAreaOffset + archive::kVolumeDescriptorSize;
  if (path_.empty() || (knownSize_ && *knownSize_ < first))
    return area_;
  const std::optional<platform::File> file = platform::File::openRead(path_);
  if (!file || file->size() < first)
    return area_;
  area_.resize(archive::kVolumeDescriptorSize);
  area_.resize(file->readAt(archive::kVolumeAreaOffset, area_));
  // Only a file that starts a volume descriptor there is read further, for the descriptors
  // that follow (a hybrid image's UDF sequence comes after its ISO descriptors).
  if (area_.size() == archive::kVolumeDescriptorSize &&
      !archive::volumeDescriptorId(area_).empty()) {
    area_.resize(archive::kVolumeAreaBytes);
    const std::size_t more =
        file->readAt(first, std::span(area_).subspan(archive::kVolumeDescriptorSize));
    area_.resize(archive::kVolumeDescriptorSize + more);
  }
  return area_;
}

} // namespace kyv::unpack
