// The member extractors: one per container type, each a single call that opens the container,
// walks its members and hands each one to DeliverItem.
#pragma once

#include <string>

#include "unpack/arc_info.h"

namespace kyv::unpack {

class TKYVDecompress;

using Extractor = void (*)(TKYVDecompress& owner, const std::string& path,
                           const TKYVArcInfoArray& chain);

void ExtractZip(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractCab(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractGzip(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractTar(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractChm(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractRar(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractEmail(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractBinHex(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractTnef(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractCompound(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void Extract7z(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractBzip2(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractXz(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractLzma(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractCpio(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractIso(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractPdf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractUdf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractArj(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractLzh(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractSzdd(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractKwaj(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractHtml(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);
void ExtractRtf(TKYVDecompress& owner, const std::string& path, const TKYVArcInfoArray& chain);

} // namespace kyv::unpack
