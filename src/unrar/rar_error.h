// Failures inside the RAR reader and its decoders. The module's C boundary turns each kind into
// the interface's result code; nothing is thrown past it.
#pragma once

#include <string>

#include "base/error.h"

namespace kyv::unrar {

[[noreturn]] inline void fail(ErrorKind kind, const std::string& message) {
  throw Error(kind, message);
}
[[noreturn]] inline void dataError(const std::string& message) {
  fail(ErrorKind::DataError, message);
}

} // namespace kyv::unrar
