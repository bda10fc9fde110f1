#include "document/pdf_security.h"

#include <algorithm>
#include <array>

#include "codec/aes.h"
#include "codec/md5.h"
#include "codec/rc4.h"
#include "document/pdf_password.h"

namespace kyv::document {

namespace {

using Method = PdfSecurity::Method;

// Crypt filters read from /CF: documents define one or two; each may be a reference to parse, so a
// dictionary of thousands must not cost thousands of parses.
constexpr std::size_t kMaxCryptFilters = 16;

// Reasons read "encrypted document (...)" before the file's name.
std::string locked(const std::string& why) { return "encrypted document (" + why + ")"; }

bool isString(const PdfObject* v) { return v != nullptr && v->kind == PdfKind::String; }

std::optional<std::int64_t> intOf(const PdfObject* v) {
  if (v == nullptr || !v->isInt())
    return std::nullopt;
  return v->number;
}

// A crypt filter by its name: Identity, or one of the dictionary's /CF; nullopt when the method is
// none this reader knows.
std::optional<Method> filterMethod(const PdfFile& file, const PdfObject& cf,
                                   std::string_view name) {
  if (name == "Identity")
    return Method::None;
  const PdfObject* entry = cf.get(name);
  if (entry == nullptr)
    return std::nullopt;
  const PdfObject filter = file.resolve(*entry);
  const PdfObject* cfm = filter.get("CFM");
  if (cfm == nullptr || cfm->isName("None"))
    return Method::None;
  if (cfm->isName("V2"))
    return Method::Rc4;
  if (cfm->isName("AESV2"))
    return Method::Aes128;
  if (cfm->isName("AESV3"))
    return Method::Aes256;
  return std::nullopt;
}

std::string nameOf(const PdfObject* v, std::string_view fallback) {
  return v != nullptr && v->kind == PdfKind::Name ? v->bytes : std::string(fallback);
}

// The key length of RC4 in bytes, from a /Length in bits (the dictionary's; crypt filters have
// been seen to give it in bytes).
std::optional<std::size_t> keyBytes(const PdfObject* length) {
  const auto n = intOf(length);
  if (!n)
    return std::nullopt;
  if (*n >= 40 && *n <= 128 && *n % 8 == 0)
    return static_cast<std::size_t>(*n / 8);
  if (*n >= 5 && *n <= 16)
    return static_cast<std::size_t>(*n);
  return std::nullopt;
}

} // namespace

std::unique_ptr<PdfSecurity> PdfSecurity::open(const PdfFile& file, std::string& whyNot) {
  const PdfObject dict = file.resolve(file.encrypt());
  if (dict.kind != PdfKind::Dict) {
    whyNot = locked("its /Encrypt dictionary is missing");
    return nullptr;
  }
  if (const std::string filter = nameOf(dict.get("Filter"), ""); filter != "Standard") {
    whyNot = locked("security handler /" + filter + " is not supported");
    return nullptr;
  }
  const auto v = intOf(dict.get("V")).value_or(0);
  const auto r = intOf(dict.get("R")).value_or(0);
  if (r < 2 || r > 6 || !(v == 1 || v == 2 || v == 4 || v == 5)) {
    whyNot = locked("version " + std::to_string(v) + " revision " + std::to_string(r) +
                    " of the standard security handler is not supported");
    return nullptr;
  }
  const PdfObject* o = dict.get("O");
  const PdfObject* u = dict.get("U");
  const auto p = intOf(dict.get("P"));
  if (!isString(o) || !isString(u) || !p) {
    whyNot = locked("its /Encrypt dictionary lacks /O, /U or /P");
    return nullptr;
  }
  std::unique_ptr<PdfSecurity> handler(new PdfSecurity());
  PdfPasswordCheck check;
  check.revision = static_cast<int>(r);
  check.owner = o->bytes;
  check.user = u->bytes;
  if (const PdfObject* ue = dict.get("UE"); isString(ue))
    check.userKey = ue->bytes;
  check.permissions = static_cast<std::int32_t>(static_cast<std::uint32_t>(*p));
  const PdfObject& id = file.fileId();
  if (!id.items.empty() && id.items[0].kind == PdfKind::String)
    check.fileId = id.items[0].bytes;
  const PdfObject* em = dict.get("EncryptMetadata");
  check.encryptMetadata = em == nullptr || em->kind != PdfKind::Bool || em->number != 0;
  handler->plainMetadata_ = r >= 4 && !check.encryptMetadata;

  if (v == 1 || v == 2) {
    handler->strings_ = handler->streams_ = handler->embeddedFiles_ = Method::Rc4;
    check.keyBytes = v == 1 ? 5 : keyBytes(dict.get("Length")).value_or(5);
  } else {
    // Crypt filters: strings, streams and embedded files each name one.
    const PdfObject cfValue =
        dict.get("CF") != nullptr ? file.resolve(*dict.get("CF")) : PdfObject();
    for (std::size_t i = 0; i + 1 < std::min(cfValue.items.size(), 2 * kMaxCryptFilters); i += 2)
      if (const auto m = filterMethod(file, cfValue, cfValue.items[i].bytes))
        handler->filters_.emplace_back(cfValue.items[i].bytes, *m);
    const std::string stmF = nameOf(dict.get("StmF"), "Identity");
    const std::string strF = nameOf(dict.get("StrF"), "Identity");
    const std::string eff = nameOf(dict.get("EFF"), stmF);
    const auto stm = filterMethod(file, cfValue, stmF);
    const auto str = filterMethod(file, cfValue, strF);
    const auto ef = filterMethod(file, cfValue, eff);
    if (!stm || !str || !ef) {
      whyNot = locked("a crypt filter of an unknown method");
      return nullptr;
    }
    handler->streams_ = *stm;
    handler->strings_ = *str;
    handler->embeddedFiles_ = *ef;
    // RC4 takes the dictionary's length, or the one of the stream filter; AES-128 has 16 bytes.
    std::optional<std::size_t> n = keyBytes(dict.get("Length"));
    if (!n)
      if (const PdfObject* f = cfValue.get(stmF); f != nullptr)
        n = keyBytes(file.resolve(*f).get("Length"));
    check.keyBytes = *stm == Method::Aes128 || *str == Method::Aes128 || !n ? 16 : *n;
    if ((r >= 5) != (v == 5)) {
      whyNot = locked("version " + std::to_string(v) + " does not go with revision " +
                      std::to_string(r));
      return nullptr;
    }
  }
  auto key = pdfKeyForEmptyPassword(check);
  if (!key) {
    whyNot = locked("a password is needed to open it");
    return nullptr;
  }
  handler->key_ = std::move(*key);
  // AES-256 takes a key of 32 bytes, which only revisions 5 and 6 derive.
  const auto usesAes256 = [&](Method m) { return m == Method::Aes256; };
  if (handler->key_.size() != 32 &&
      (usesAes256(handler->strings_) || usesAes256(handler->streams_) ||
       usesAes256(handler->embeddedFiles_) ||
       std::any_of(handler->filters_.begin(), handler->filters_.end(),
                   [&](const auto& f) { return usesAes256(f.second); }))) {
    whyNot = locked("AES-256 with a key of revision " + std::to_string(r));
    return nullptr;
  }
  return handler;
}

PdfSecurity::Method PdfSecurity::streamMethod(const PdfObject& dict) const {
  const PdfObject* type = dict.get("Type");
  if (type != nullptr && type->isName("XRef"))
    return Method::None;
  if (plainMetadata_ && type != nullptr && type->isName("Metadata"))
    return Method::None;
  // A /Crypt filter in the stream's own chain names the crypt filter for it.
  const PdfObject* filter = dict.get("Filter");
  const PdfObject* parms = dict.get("DecodeParms");
  if (filter != nullptr) {
    const bool many = filter->kind == PdfKind::Array;
    const std::size_t count = many ? filter->items.size() : 1;
    for (std::size_t i = 0; i < count; ++i) {
      const PdfObject& f = many ? filter->items[i] : *filter;
      if (!f.isName("Crypt"))
        continue;
      const PdfObject* p = parms == nullptr ? nullptr
                           : parms->kind == PdfKind::Array
                               ? (i < parms->items.size() ? &parms->items[i] : nullptr)
                               : parms;
      const std::string name = nameOf(p != nullptr ? p->get("Name") : nullptr, "Identity");
      if (name == "Identity")
        return Method::None;
      for (const auto& [n, m] : filters_)
        if (n == name)
          return m;
      return streams_;
    }
  }
  if (type != nullptr && type->isName("EmbeddedFile"))
    return embeddedFiles_;
  return streams_;
}

void PdfSecurity::decrypt(Method method, PdfId owner, std::span<const std::byte> bytes,
                          std::vector<std::byte>& out, std::string& damage) const {
  out.clear();
  // The object's key: MD5 of the file key, the low three bytes of the object number and two of
  // the generation (and "sAlT" for AES), cut to the file key's length plus 5, at most 16.
  // AES-256 uses the file key itself.
  std::vector<std::uint8_t> key = key_;
  if (method == Method::Rc4 || method == Method::Aes128) {
    codec::Md5 md5;
    md5.update(std::as_bytes(std::span(key_)));
    const std::array<std::uint8_t, 5> id{
        static_cast<std::uint8_t>(owner.number), static_cast<std::uint8_t>(owner.number >> 8),
        static_cast<std::uint8_t>(owner.number >> 16), static_cast<std::uint8_t>(owner.generation),
        static_cast<std::uint8_t>(owner.generation >> 8)};
    md5.update(std::as_bytes(std::span(id)));
    if (method == Method::Aes128)
      md5.update(std::as_bytes(std::span("sAlT", 4)));
    const auto digest = md5.finish();
    key.assign(digest.begin(), digest.begin() + static_cast<std::ptrdiff_t>(
                                                    std::min<std::size_t>(key_.size() + 5, 16)));
  }
  if (method == Method::Rc4) {
    out.assign(bytes.begin(), bytes.end());
    codec::Rc4(key).apply(out);
    return;
  }
  // AES in CBC: a 16-byte initialization vector, then whole blocks, the last one padded with
  // 1 to 16 bytes that each hold the padding's length.
  constexpr std::size_t kBlock = codec::Aes::kBlock;
  if (bytes.size() < kBlock) {
    if (!bytes.empty())
      damage = "encrypted data shorter than its initialization vector";
    return;
  }
  std::array<std::uint8_t, kBlock> iv;
  std::transform(bytes.begin(), bytes.begin() + kBlock, iv.begin(),
                 [](std::byte b) { return static_cast<std::uint8_t>(b); });
  const std::size_t whole = (bytes.size() - kBlock) / kBlock * kBlock;
  out.assign(bytes.begin() + kBlock, bytes.begin() + static_cast<std::ptrdiff_t>(kBlock + whole));
  codec::Aes(key).cbcDecrypt(iv, out);
  if (whole != bytes.size() - kBlock) {
    damage = "encrypted data cut short of a whole block";
    return;
  }
  if (out.empty())
    return; // only the vector: an empty string as some producers write it
  const auto pad = static_cast<std::uint8_t>(out.back());
  if (pad < 1 || pad > kBlock || !std::all_of(out.end() - pad, out.end(), [pad](std::byte b) {
        return static_cast<std::uint8_t>(b) == pad;
      })) {
    damage = "encrypted data with broken padding";
    return;
  }
  out.resize(out.size() - pad);
}

std::string PdfSecurity::decryptString(PdfId owner, std::string_view bytes) const {
  if (strings_ == Method::None)
    return std::string(bytes);
  std::vector<std::byte> out;
  std::string damage;
  decrypt(strings_, owner, std::as_bytes(std::span(bytes.data(), bytes.size())), out, damage);
  return {reinterpret_cast<const char*>(out.data()), out.size()};
}

bool PdfSecurity::decryptStream(PdfId owner, const PdfObject& dict,
                                std::span<const std::byte> bytes, std::vector<std::byte>& out,
                                std::string& damage) const {
  const Method method = streamMethod(dict);
  if (method == Method::None)
    return false;
  decrypt(method, owner, bytes, out, damage);
  return true;
}

} // namespace kyv::document
