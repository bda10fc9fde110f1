// The xz and legacy .lzma files, each one member.
#include <array>
#include <utility>

#include "archive/lzma_alone.h"
#include "archive/xz_reader.h"
#include "unpack/extract_one_member.h"
#include "unpack/extractors.h"

namespace kyv::unpack {

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kXzSuffixes{
    {{".xz", ""}, {".txz", ".tar"}}};
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kLzmaSuffixes{
    {{".lzma", ""}, {".tlz", ".tar"}, {".lz", ""}}};

std::optional<std::uint64_t> lzmaDeclaredSize(ByteSource& file) {
  std::array<std::byte, archive::kLzmaAloneHeaderSize> head;
  if (!file.readExact(head))
    return std::nullopt;
  return archive::lzmaAloneDeclaredSize(head);
}

} // namespace

void ExtractXz(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  static const OneMemberFormat format{"XZ", kXzSuffixes, archive::DecodeXz};
  ExtractOneMember(owner, path, chain, format);
}

void ExtractLzma(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  static const OneMemberFormat format{"LZMA", kLzmaSuffixes, archive::DecodeLzmaAlone,
                                      lzmaDeclaredSize};
  ExtractOneMember(owner, path, chain, format);
}

} // namespace kyv::unpack
