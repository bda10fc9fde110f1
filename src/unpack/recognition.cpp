#include "unpack/recognition.h"

#include <array>
#include <cstring>

#include "base/text.h"

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
    "From",        ">From",        "For:",          "Received:",   "Reply-To:",
    "Return-Path:", "Return-path:", "Delivered-To:", "X-Symantec-", "X-Apparently-To:",
    "X-EVS",       "ID:",          "Date:",         "X-UIDL:"};
constexpr std::size_t kMailHeadChars = 16;

constexpr std::array<ContainerType, 9> kTypes{{
    {"ZIP", isZip, ExtractZip},
    {"EA", isEa, nullptr},
    {"CAB", isCab, ExtractCab},
    {"GZIP", isGzip, ExtractGzip},
    {"TAR", isUstar, ExtractTar},
    {"TAR", isGnuTar, ExtractTar},
    {"CHM", isChm, ExtractChm},
    {"RAR", isRar, ExtractRar},
    {"E-MAIL", looksLikeMail, ExtractEmail},
}};

} // namespace

bool looksLikeMail(std::span<const std::byte> head) {
  std::size_t n = 0;
  while (n < head.size() && n < kMailHeadChars && head[n] != std::byte{0})
    ++n;
  const std::string_view text(reinterpret_cast<const char*>(head.data()), n);
  for (const std::string_view keyword : kMailKeywords)
    if (StartsWith(text, keyword))
      return true;
  return false;
}

std::span<const ContainerType> containerTypes() {
  return kTypes;
}

std::vector<std::string_view> recognise(std::span<const std::byte> head) {
  std::vector<std::string_view> names;
  for (const ContainerType& type : containerTypes())
    if (type.test(head))
      names.push_back(type.name);
  return names;
}

} // namespace kyv::unpack
