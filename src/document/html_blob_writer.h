// Turns the base64 characters the search finds into members: characters are held until a blob
// has enough of them to count, then the member is started and decoded in fixed-size steps.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "document/html_blobs.h"

namespace kyv::document {

enum class HtmlBlobKind { DataUri, ScriptString };

class HtmlBlobWriter {
public:
  explicit HtmlBlobWriter(HtmlBlobTarget& target) : target_(target) {}
  ~HtmlBlobWriter() { Finish(); }
  HtmlBlobWriter(const HtmlBlobWriter&) = delete;
  HtmlBlobWriter& operator=(const HtmlBlobWriter&) = delete;

  // A new blob (the one before it is finished first); extension without the dot.
  void Start(HtmlBlobKind kind, std::string_view extension, std::size_t minChars);
  // One character of the base64 alphabet, or a run of them.
  void Put(char c);
  void Put(std::string_view run);
  // Ends the current blob; one that never reached its minimum is dropped.
  void Finish();
  bool Active() const { return active_; }
  // The target wanted no more members: the search ends.
  bool Stopped() const { return stopped_; }

private:
  void Begin();
  void Decode();

  HtmlBlobTarget& target_;
  HtmlBlobKind kind_ = HtmlBlobKind::DataUri;
  std::string extension_;
  std::string chars_;
  std::size_t total_ = 0;
  std::size_t minChars_ = 0;
  ByteSink* sink_ = nullptr;
  bool active_ = false;
  bool refused_ = false;
  bool stopped_ = false;
  std::size_t dataUris_ = 0;
  std::size_t scriptBlobs_ = 0;
};

} // namespace kyv::document
