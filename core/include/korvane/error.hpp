#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

// Raised when an internal consistency check of the core fails. Input that the
// binding accepted never triggers it; the binding reports it as a panic.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fail(const std::string& message) { throw InternalError(message); }

}  // namespace korvane
