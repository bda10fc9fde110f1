// Text strings of documents (file names, titles) as UTF-8: UTF-16BE after its byte order mark,
// UTF-8 after its mark, or else PDFDocEncoding, Latin-1 with some of the control and C1 codes
// given typographic characters.
#pragma once

#include <string>
#include <string_view>

namespace kyv::document {

std::string pdfTextToUtf8(std::string_view bytes);

} // namespace kyv::document
