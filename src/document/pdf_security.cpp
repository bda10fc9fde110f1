#include "document/pdf_security.h"

namespace kyv::document {

std::unique_ptr<PdfSecurity> PdfSecurity::open(const PdfFile&, std::string& whyNot) {
  whyNot = "encrypted document";
  return nullptr;
}

} // namespace kyv::document
