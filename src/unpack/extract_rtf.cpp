// RTF documents: every embedded object, with the type text "RTF". An object whose data is an
// embedded OLE1 object gives its native data, named "ObjectN" (N counting the objects of the
// document from 1); a packaged file is unwrapped and named by its own base name. Data that is no
// OLE1 object (no header, or a damaged one) is delivered as decoded, so nothing hidden there goes
// unscanned. The picture shown for an object is delivered as "PictureN".
#include <string>

#include "base/error.h"
#include "base/text.h"
#include "document/ole1_object.h"
#include "document/rtf_objects.h"
#include "platform/file.h"
#include "unpack/decompress.h"
#include "unpack/extractors.h"
#include "unpack/member_file.h"

namespace kyv::unpack {

namespace {

// RTF is text; a larger file is no document a mail client sends.
constexpr std::uint64_t kMaxRtfBytes = 512ull << 20;

struct Payload {
  std::string name;
  std::span<const std::byte> bytes;
};

Payload payloadOf(const document::TRtfObject& object, std::size_t objects, std::size_t pictures) {
  const std::span<const std::byte> data = object.Data;
  if (object.Kind == document::TRtfObject::TKind::Picture)
    return {"Picture" + std::to_string(pictures), data};
  const std::string name = "Object" + std::to_string(objects);
  const auto ole = document::ParseOle1Object(data, data.size());
  if (!ole)
    return {name, data};
  const auto native = data.subspan(static_cast<std::size_t>(ole->NativeOffset),
                                   static_cast<std::size_t>(ole->NativeSize));
  if (EqualsIgnoreAsciiCase(ole->ClassName, document::kPackageClass))
    if (const auto package = document::ParsePackage(native, native.size())) {
      const std::string file = document::PackageFileName(*package);
      return {file.empty() ? name : file,
              native.subspan(static_cast<std::size_t>(package->DataOffset),
                             static_cast<std::size_t>(package->DataSize))};
    }
  return {name, native};
}

} // namespace

void ExtractRtf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain) {
  DepthGuard depth(owner);
  const auto bytes = platform::readWholeFile(path, kMaxRtfBytes);
  if (!bytes) {
    if (auto file = platform::File::openRead(path); file && file->size() > kMaxRtfBytes)
      owner.RecordGap(TGapKind::TooLarge, std::string(),
                      "an RTF document over " + std::to_string(kMaxRtfBytes >> 20) +
                          " MiB is not unpacked");
    return;
  }
  MemberFile member(owner, owner.TempFileName());
  std::size_t objects = 0, pictures = 0;
  // An object is held whole while it is decoded: no more of it than the budget has left.
  const document::TRtfScan scan =
      document::ScanRtfObjects(*bytes, owner.BytesLeft() + 1, [&](document::TRtfObject& object) {
        if (owner.Abort)
          return false;
        object.Kind == document::TRtfObject::TKind::Picture ? ++pictures : ++objects;
        if (object.Data.empty())
          return true;
        const Payload payload = payloadOf(object, objects, pictures);
        if (!member.create(payload.name))
          throw kyv::Error(ErrorKind::Io, "cannot create " + member.path());
        const bool written = member.write(payload.bytes);
        member.close();
        if (!written && !member.cutOff())
          throw kyv::Error(ErrorKind::Io, "cannot write " + member.path());
        // One the budget cut off is handed on as far as it was written.
        owner.DeliverItem(path, "RTF", payload.name, member.path(), chain);
        member.remove();
        return !owner.Abort;
      });
  if (scan.DepthCut)
    owner.RecordGap(TGapKind::MaxDepth, std::string(),
                    "groups nested deeper than " + std::to_string(document::kRtfMaxDepth) +
                        " were not looked at");
}

} // namespace kyv::unpack
