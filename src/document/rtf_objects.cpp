#include "document/rtf_objects.h"

#include "base/text.h"
#include "document/rtf_tokenizer.h"

namespace kyv::document {

namespace {

enum class TDest : std::uint8_t { Normal, Data, Skip };

struct Group {
  TDest dest = TDest::Normal;
  bool inObject = false;
  bool inResult = false;
  bool collects = false; // this group's end finishes the data collected
};

class Scanner {
public:
  Scanner(std::uint64_t limit, const std::function<bool(TRtfObject&)>& onObject)
      : limit_(limit), onObject_(onObject) {}

  TRtfScan Run(std::span<const std::byte> rtf) {
    TRtfTokenizer tokens(rtf);
    stack_.push_back({});
    for (TRtfToken t = tokens.Next(); t.Kind != TRtfToken::TKind::End && !stopped_;
         t = tokens.Next())
      Take(t);
    // An unclosed object at the end still counts: readers are as lenient.
    if (collecting_ && !stopped_)
      Finish();
    return result_;
  }

private:
  void Take(const TRtfToken& t) {
    using K = TRtfToken::TKind;
    if (t.Kind == K::GroupStart)
      return Open();
    if (t.Kind == K::GroupEnd)
      return Close();
    if (overflow_ > 0)
      return;
    Group& g = stack_.back();
    switch (t.Kind) {
    case K::ControlWord:
      Word(g, t.Word);
      break;
    case K::Text:
      if (g.dest == TDest::Data)
        Hex(t.Bytes);
      break;
    case K::Binary:
      if (g.dest == TDest::Data)
        Append(t.Bytes);
      break;
    default:
      break;
    }
  }

  void Open() {
    if (overflow_ > 0 || stack_.size() >= kRtfMaxDepth) {
      ++overflow_;
      result_.DepthCut = true;
      return;
    }
    Group child = stack_.back();
    child.collects = false;
    // Groups inside a data destination are skipped whole, as Word skips them.
    if (child.dest != TDest::Normal)
      child.dest = TDest::Skip;
    stack_.push_back(child);
  }

  void Close() {
    if (overflow_ > 0) {
      --overflow_;
      return;
    }
    if (stack_.size() == 1)
      return; // a stray closing brace
    if (stack_.back().collects && collecting_)
      Finish();
    stack_.pop_back();
  }

  void Word(Group& g, std::string_view word) {
    if (g.dest == TDest::Skip)
      return;
    if (word == "object") {
      g.inObject = true;
    } else if (word == "result") {
      g.inResult = true;
    } else if (word == "objdata" && g.dest == TDest::Normal) {
      Start(g, TRtfObject::TKind::Object);
    } else if (word == "pict" && g.dest == TDest::Normal && g.inObject && g.inResult) {
      Start(g, TRtfObject::TKind::Picture);
    }
  }

  void Start(Group& g, TRtfObject::TKind kind) {
    if (collecting_)
      Finish();
    current_ = TRtfObject{};
    current_.Kind = kind;
    collecting_ = true;
    nibble_ = -1;
    g.dest = TDest::Data;
    g.collects = true;
  }

  void Hex(std::span<const std::byte> text) {
    for (const std::byte b : text) {
      const int v = HexDigitValue(std::to_integer<unsigned char>(b));
      if (v < 0)
        continue;
      if (nibble_ < 0) {
        nibble_ = v;
        continue;
      }
      const std::byte value{static_cast<unsigned char>((nibble_ << 4) | v)};
      nibble_ = -1;
      Append({&value, 1});
    }
  }

  void Append(std::span<const std::byte> bytes) {
    std::vector<std::byte>& data = current_.Data;
    const std::uint64_t room = limit_ - std::min<std::uint64_t>(limit_, data.size());
    if (bytes.size() > room) {
      current_.Cut = true;
      bytes = bytes.first(static_cast<std::size_t>(room));
    }
    data.insert(data.end(), bytes.begin(), bytes.end());
  }

  // An odd digit left over is dropped.
  void Finish() {
    ++result_.Objects;
    if (!onObject_(current_))
      stopped_ = true;
    current_ = TRtfObject{};
    collecting_ = false;
    nibble_ = -1;
  }

  std::uint64_t limit_;
  const std::function<bool(TRtfObject&)>& onObject_;
  std::vector<Group> stack_;
  std::size_t overflow_ = 0;
  TRtfObject current_;
  bool collecting_ = false;
  int nibble_ = -1;
  bool stopped_ = false;
  TRtfScan result_;
};

} // namespace

TRtfScan ScanRtfObjects(std::span<const std::byte> rtf, std::uint64_t maxObjectBytes,
                        const std::function<bool(TRtfObject&)>& onObject) {
  return Scanner(maxObjectBytes, onObject).Run(rtf);
}

} // namespace kyv::document
