#include "unpack/extract_one_member.h"

#include <exception>
#include <memory>

#include "base/text.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

std::string_view baseName(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void recordProblem(TKYVDecompress& owner, const std::string& name,
                   const archive::StreamOutcome& outcome) {
  using archive::StreamProblem;
  switch (outcome.problem) {
  case StreamProblem::None:
  case StreamProblem::WriteRefused: // the member file has recorded why it refused
    return;
  case StreamProblem::Damaged:
    owner.RecordGap(TGapKind::Damaged, name, "damaged data: " + outcome.reason);
    return;
  case StreamProblem::Unsupported:
    owner.RecordGap(TGapKind::UnsupportedMethod, name, outcome.reason);
    return;
  case StreamProblem::TooLarge:
    owner.RecordGap(TGapKind::TooLarge, name, outcome.reason);
    return;
  }
}

} // namespace

std::string OneMemberName(std::string_view containerName, const OneMemberFormat& format) {
  const std::string_view name = baseName(containerName);
  for (const auto& [suffix, replacement] : format.suffixes) {
    if (name.size() > suffix.size() &&
        EqualsIgnoreAsciiCase(name.substr(name.size() - suffix.size()), suffix))
      return std::string(name.substr(0, name.size() - suffix.size())) + std::string(replacement);
  }
  return "unknown";
}

void ExtractOneMember(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain,
                      const OneMemberFormat& format) {
  DepthGuard depth(owner);
  MemberFile member(owner, owner.TempFileName());
  try {
    auto file = platform::FileSource::open(path);
    if (!file) {
      owner.RecordGap(TGapKind::ReadError, std::string(), "cannot open " + path);
      return;
    }
    const std::string name = OneMemberName(chain.empty() ? path : chain.back().ItemName, format);
    if (owner.Abort || !owner.AcceptItem(name))
      return;
    if (format.declaredSize != nullptr) {
      const auto declared = format.declaredSize(*file);
      if (!file->seek(0))
        return;
      if (declared && !owner.AdmitDeclaredSize(*declared))
        return;
    }
    if (!member.create(name))
      return;
    const archive::StreamOutcome outcome = format.decode(*file, member);
    member.close();
    recordProblem(owner, name, outcome);
    // Delivered as far as it was decoded: a damaged stream may still hold the payload.
    owner.DeliverItem(path, format.type, name, member.path(), chain);
    member.remove();
  } catch (const std::exception& error) {
    owner.ReportMessage(path + " " + error.what());
  }
}

} // namespace kyv::unpack
