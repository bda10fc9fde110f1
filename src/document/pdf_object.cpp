#include "document/pdf_object.h"

namespace kyv::document {

const PdfObject* PdfObject::get(std::string_view key) const {
  if (kind != PdfKind::Dict)
    return nullptr;
  const PdfObject* found = nullptr;
  for (std::size_t i = 0; i + 1 < items.size(); i += 2)
    if (items[i].bytes == key)
      found = &items[i + 1];
  return found;
}

} // namespace kyv::document
