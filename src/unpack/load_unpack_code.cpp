#include "unpack/decompress.h"

namespace kyv::unpack {

bool TKYVDecompress::LoadUnpackCode() { 
  return kyv::unpack::LoadUnpackCode(BasePath, UnpackCode, &CodeFile);
}

} // namespace kyv::unpack
