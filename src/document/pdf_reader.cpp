#include "document/pdf_reader.h"

#include <map>
#include <set>

#include "document/pdf_filters.h"
#include "document/pdf_object_stream.h"
#include "document/pdf_parser.h"
#include "document/pdf_security.h"
#include "document/pdf_text.h"

namespace kyv::document {

namespace {

// Decoded object streams read for the names and scripts in them, over the whole file. They are
// delivered as members besides (through the scan's budget), so their text is scanned even past
// this.
constexpr std::uint64_t kMaxPackedBytes = 256u << 20;

std::string objectName(PdfId id) {
  return "obj " + std::to_string(id.number) + " " + std::to_string(id.generation);
}

bool hasType(const PdfObject& dict, std::string_view type) {
  const PdfObject* t = dict.get("Type");
  return t != nullptr && t->isName(type);
}

PdfId refId(const PdfObject& ref) {
  return {static_cast<std::uint32_t>(ref.number), ref.generation};
}

// Remembers whether the sink behind refused, whatever the filters in front made of it.
class RefusalWatch final : public ByteSink {
public:
  explicit RefusalWatch(ByteSink& out) : out_(out) {}
  bool write(std::span<const std::byte> data) override {
    if (out_.write(data))
      return true;
    refused_ = true;
    return false;
  }
  bool refused() const { return refused_; }

private:
  ByteSink& out_;
  bool refused_ = false;
};

} // namespace

PdfReader::PdfReader(std::span<const std::byte> bytes) : file_(bytes) {
  if (file_.encrypt().kind != PdfKind::Null) {
    security_ = PdfSecurity::open(file_, locked_);
    if (!security_)
      return;
  }
  for (const PdfObjectEntry& entry : file_.objects())
    if (!entry.isStream)
      collect(file_.value(entry), entry.id, true, 0);
  readObjectStreams();
  listMembers();
}

PdfReader::~PdfReader() = default;

std::string PdfReader::plainString(const PdfObject& s, PdfId owner, bool encryptedStrings) const {
  if (security_ && encryptedStrings)
    return security_->decryptString(owner, s.bytes);
  return s.bytes;
}

void PdfReader::collect(const PdfObject& value, PdfId owner, bool encryptedStrings, int depth) {
  if (depth > kPdfMaxNesting)
    return;
  if (value.kind == PdfKind::Array) {
    for (const PdfObject& item : value.items)
      collect(item, owner, encryptedStrings, depth + 1);
    return;
  }
  if (value.kind != PdfKind::Dict)
    return;
  if (const PdfObject* ef = value.get("EF"); ef != nullptr && ef->kind == PdfKind::Dict) {
    std::string name;
    for (const std::string_view key : {"UF", "F", "Unix", "DOS", "Mac"}) {
      const PdfObject* v = value.get(key);
      if (v != nullptr && v->kind == PdfKind::String && !v->bytes.empty()) {
        name = pdfTextToUtf8(plainString(*v, owner, encryptedStrings));
        break;
      }
    }
    if (const std::size_t nul = name.find('\0'); nul != std::string::npos)
      name.resize(nul);
    for (std::size_t i = 1; i < ef->items.size(); i += 2)
      if (ef->items[i].kind == PdfKind::Ref)
        fileNames_.emplace_back(refId(ef->items[i]), name);
  }
  if (const PdfObject* js = value.get("JS"); js != nullptr) {
    if (js->kind == PdfKind::String)
      scripts_.emplace_back(owner, plainString(*js, owner, encryptedStrings));
    else if (js->kind == PdfKind::Ref)
      scriptRefs_.push_back(refId(*js));
  }
  for (std::size_t i = 1; i < value.items.size(); i += 2)
    collect(value.items[i], owner, encryptedStrings, depth + 1);
}

void PdfReader::readObjectStreams() {
  std::uint64_t spent = 0;
  for (const PdfObjectEntry& entry : file_.objects()) {
    if (!entry.isStream || !hasType(entry.dict, "ObjStm") || spent >= kMaxPackedBytes)
      continue;
    VectorSink decoded(static_cast<std::size_t>(
        std::min<std::uint64_t>(kPdfMaxStageBytes, kMaxPackedBytes - spent)));
    (void)decode(entry, decoded);
    spent += decoded.bytes().size();
    // Strings inside an object stream were encrypted with the stream, not on their own.
    forEachPackedObject(decoded.bytes(), entry.dict,
                        [this](PdfId id, const PdfObject& value) { collect(value, id, false, 0); });
  }
}

void PdfReader::listMembers() {
  // A name belongs to the object a reference means (the last of its number in the file).
  std::map<const PdfObjectEntry*, std::string> names;
  for (const auto& [id, name] : fileNames_)
    if (const PdfObjectEntry* entry = file_.find(id);
        entry != nullptr && entry->isStream && !name.empty())
      names.emplace(entry, name);
  for (const PdfObjectEntry& entry : file_.objects()) {
    if (!entry.isStream)
      continue;
    const auto named = names.find(&entry);
    members_.push_back({named != names.end() ? named->second : objectName(entry.id), &entry, {}});
  }
  // Scripts in strings: those written in place, and those in objects of their own.
  std::map<PdfId, int> count;
  const auto addScript = [&](PdfId owner, std::string text) {
    const int n = ++count[owner];
    members_.push_back({objectName(owner) + " JS" + (n > 1 ? " " + std::to_string(n) : ""), nullptr,
                        std::move(text)});
  };
  for (auto& [owner, text] : scripts_)
    addScript(owner, std::move(text));
  std::set<PdfId> seen;
  for (const PdfId id : scriptRefs_) {
    const PdfObjectEntry* entry = file_.find(id);
    if (entry == nullptr || entry->isStream || !seen.insert(id).second)
      continue; // a script stream is delivered with the streams
    const PdfObject v = file_.value(*entry);
    if (v.kind == PdfKind::String)
      addScript(id, plainString(v, id, true));
  }
}

PdfExtract PdfReader::decode(const PdfObjectEntry& entry, ByteSink& out) const {
  PdfExtract result;
  const PdfObject* filter = entry.dict.get("Filter");
  const PdfObject* parms = entry.dict.get("DecodeParms");
  const PdfFilterChain chain = planFilters(filter != nullptr ? file_.resolve(*filter) : PdfObject(),
                                           parms != nullptr ? file_.resolve(*parms) : PdfObject());
  RefusalWatch watch(out);
  std::span<const std::byte> raw =
      file_.bytes().subspan(entry.dataStart, entry.dataEnd - entry.dataStart);
  std::vector<std::byte> decrypted;
  if (security_ &&
      security_->decryptStream(entry.id, entry.dict, raw, decrypted, result.decryptDamage))
    raw = decrypted;
  const PdfDecode status = decodeFilters(raw, chain.steps, watch);
  result.sinkRefused = watch.refused();
  result.damaged = status == PdfDecode::Damaged;
  if (status == PdfDecode::StageTooLarge)
    result.notDecoded =
        "a filter stage of more than " + std::to_string(kPdfMaxStageBytes) + " bytes";
  else if (chain.tooLong)
    result.notDecoded = "more than " + std::to_string(kPdfMaxFilters) + " filters";
  else if (!chain.stopsAt.empty() && !chain.stopsAtImage)
    result.notDecoded = "filter " + chain.stopsAt;
  return result;
}

PdfExtract PdfReader::extract(const PdfMember& member, ByteSink& out) const {
  if (member.stream != nullptr)
    return decode(*member.stream, out);
  PdfExtract result;
  result.sinkRefused = !out.write(std::as_bytes(std::span(member.text)));
  return result;
}

} // namespace kyv::document
