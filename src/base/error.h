// One closed set of failure kinds for every reader, and the exception that carries one with a
// message. Subsystems with texts of their own (the archive family, for one) derive from Error.
#pragma once

#include <stdexcept>
#include <string>

namespace kyv {

enum class ErrorKind {
  DataError,     // the bytes contradict their format
  CrcError,      // a checksum does not match
  UnexpectedEnd, // the input ended inside a structure
  BadHeader,     // a header or directory is malformed
  Unsupported,   // a valid but unsupported method or feature
  Limit,         // a size, count or depth cap of ours was reached
  Io,            // the operating system refused a read or write
  Other,
};

class Error : public std::runtime_error {
public:
  Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const { return kind_; }

private:
  ErrorKind kind_;
};

} // namespace kyv
