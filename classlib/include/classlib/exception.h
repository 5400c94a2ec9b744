// Exceptions of the class library.
#pragma once

#include <stdexcept>
#include <string>

namespace cls {

// Base of every failure the system raises as an exception. Message() is the text to show.
class Exception : public std::runtime_error {
 public:
  explicit Exception(const std::string& message) : std::runtime_error(message) {}
  std::string Message() const { return what(); }
};

// The silent abort: raised to end a construction without a message. Whoever shows exceptions
// to the user skips it.
class EAbort : public Exception {
 public:
  EAbort() : Exception("") {}
};

// Format with printf conventions ("%s", "%d", ...), as the class library's Format.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cls
