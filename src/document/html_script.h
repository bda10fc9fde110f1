// The base64 strings of one script: a light tokenizer that knows strings, comments and regular
// expression literals well enough to find string literals, and joins the pieces a script glues
// together ("..." + "...", ["...", "..."].join(""), atob("...")).
#pragma once

#include <string_view>

#include "document/html_blob_writer.h"

namespace kyv::document {

// content: the text between <script ...> and </script>.
void FindScriptBlobs(std::string_view content, HtmlBlobWriter& writer);

} // namespace kyv::document
