// Object streams (/Type /ObjStm): a stream whose decoded data begins with /N pairs of "number
// offset" and holds that many objects from /First on. The pairs are believed only as far as the
// data holds them: a stream that claims a million objects in a few bytes gives the few it has.
#pragma once

#include <functional>
#include <span>

#include "document/pdf_object.h"

namespace kyv::document {

void forEachPackedObject(std::span<const std::byte> decoded, const PdfObject& dict,
                         const std::function<void(PdfId id, const PdfObject& value)>& visit);

} // namespace kyv::document
