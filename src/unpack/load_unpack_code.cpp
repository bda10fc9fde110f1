#include "unpack/decompress.h"

namespace kyv::unpack {

// Until the unpack-code records are read, start-up goes by the databases alone.
bool TKYVDecompress::LoadUnpackCode() { return true; }

} // namespace kyv::unpack
