#include "document/html_blob_writer.h"

#include <algorithm>

#include "mail/transfer_decoders.h"

namespace kyv::document {
namespace {

// Characters decoded per step: a multiple of four, so that no group is split between steps.
constexpr std::size_t kDecodeStep = 64 * 1024;
static_assert(kDecodeStep % 4 == 0);

} // namespace

void HtmlBlobWriter::Start(HtmlBlobKind kind, std::string_view extension, std::size_t minChars) {
  Finish();
  if (stopped_)
    return;
  kind_ = kind;
  extension_ = extension;
  minChars_ = minChars == 0 ? 1 : minChars;
  total_ = 0;
  chars_.clear();
  active_ = true;
}

void HtmlBlobWriter::Put(char c) {
  if (!active_ || refused_)
    return;
  chars_.push_back(c);
  ++total_;
  if (sink_ == nullptr && total_ >= minChars_)
    Begin();
  if (sink_ != nullptr && chars_.size() >= kDecodeStep)
    Decode();
}

void HtmlBlobWriter::Put(std::string_view run) {
  // Character by character only until the member starts; then in steps.
  while (!run.empty() && sink_ == nullptr && active_) {
    Put(run.front());
    run.remove_prefix(1);
  }
  while (!run.empty() && active_ && !refused_) {
    const std::size_t take = std::min(run.size(), kDecodeStep - chars_.size());
    chars_.append(run.substr(0, take));
    total_ += take;
    run.remove_prefix(take);
    if (chars_.size() >= kDecodeStep)
      Decode();
  }
}

void HtmlBlobWriter::Begin() {
  const bool dataUri = kind_ == HtmlBlobKind::DataUri;
  const std::size_t number = dataUri ? ++dataUris_ : ++scriptBlobs_;
  const std::string name =
      (dataUri ? "data-uri-" : "script-blob-") + std::to_string(number) + "." + extension_;
  sink_ = target_.BeginMember(name);
  if (sink_ == nullptr) {
    stopped_ = true;
    active_ = false;
    chars_.clear();
  }
}

void HtmlBlobWriter::Decode() {
  if (!refused_ && !mail::DecodeBase64(chars_, *sink_))
    refused_ = true;
  chars_.clear();
}

void HtmlBlobWriter::Finish() {
  if (!active_)
    return;
  active_ = false;
  if (sink_ != nullptr) {
    Decode();
    sink_ = nullptr;
    target_.EndMember(!refused_);
  }
  refused_ = false;
  chars_.clear();
}

} // namespace kyv::document
