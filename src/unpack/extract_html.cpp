// Web pages and SVG images: the files they carry as base64 (data: URIs, strings of scripts),
// each decoded into the member file as the page is read and delivered under the name the
// search gives it ("data-uri-1.png", "script-blob-1.bin").
#include <string>

#include "document/html_blobs.h"
#include "mail/email_parser.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {
namespace {

class MemberTarget final : public document::HtmlBlobTarget {
public:
  MemberTarget(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain)
      : owner_(owner), path_(path), chain_(chain), member_(owner, owner.TempFileName()) {}

  ByteSink* BeginMember(const std::string& name) override {
    if (owner_.Abort || !member_.create(name))
      return nullptr;
    name_ = name;
    return &member_;
  }

  void EndMember(bool complete) override {
    member_.close();
    // A member the budget cut off is handed on as far as it was written.
    if (complete || member_.cutOff())
      owner_.DeliverItem(path_, "HTML", name_, member_.path(), chain_);
    member_.remove();
  }

private:
  TKYVDecompress& owner_;
  const std::string& path_;
  const TKYVArcInfoArray& chain_;
  MemberFile member_;
  std::string name_;
};

} // namespace

void ExtractHtml(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  // Pages are read whole, as messages are, and under the same bound.
  const auto bytes = platform::readWholeFile(path, mail::kMaxMessageBytes);
  if (!bytes)
    return;
  MemberTarget target(owner, path, chain);
  document::FindHtmlBlobs(
      std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()), target);
}

} // namespace kyv::unpack
