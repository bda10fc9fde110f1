// The .bz2 file, one member.
#include <array>
#include <utility>

#include "archive/bzip2_reader.h"
#include "unpack/extract_one_member.h"
#include "unpack/extractors.h"

namespace kyv::unpack {

namespace {
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kBzip2Suffixes{
    {{".bz2", ""}, {".tbz2", ".tar"}, {".tbz", ".tar"}}};
}

void ExtractBzip2(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  static const OneMemberFormat format{"BZIP2", kBzip2Suffixes, archive::DecodeBzip2};
  ExtractOneMember(owner, path, chain, format);
}

} // namespace kyv::unpack
