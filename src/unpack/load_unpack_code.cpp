#include "unpack/decompress.h"

namespace kyv::unpack {

bool TKYVDecompress::LoadUnpackCode() {
  return kyv::unpack::LoadUnpackCode(BasePath, UnpackCode, &CodeFile, &RarModuleProblem);
}

} // namespace kyv::unpack
