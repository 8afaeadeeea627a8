#include "core/error.h"

#include <cstring>

namespace corvex {

namespace {

// strerror_r comes in two shapes: XSI returns an int and fills the buffer, GNU returns the text
// (which may or may not be the buffer). Overloads on the return type pick the right reading.
[[maybe_unused]] const char* error_text(int result, const char* buf) {
  return result == 0 ? buf : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

std::string describe_errno(int code) {
  char buf[256] = {};
#if defined(_WIN32)
  if (strerror_s(buf, sizeof buf, code) != 0) return "Unknown error";
  return buf;
#else
  return error_text(strerror_r(code, buf, sizeof buf), buf);
#endif
}

}  // namespace

IbtError IbtError::os(int code) {
  return IbtError(ErrorKind::Io, describe_errno(code) + " (os error " + std::to_string(code) + ")");
}

IbtError IbtError::io(std::string text) { return IbtError(ErrorKind::Io, std::move(text)); }

IbtError IbtError::invalid_header(std::string message) {
  return IbtError(ErrorKind::InvalidHeader, std::move(message));
}

IbtError IbtError::invalid_header(Finding finding, std::string message) {
  IbtError error(ErrorKind::InvalidHeader, std::move(message));
  error.finding_ = finding;
  return error;
}

IbtError IbtError::arrow(std::string message) {
  return IbtError(ErrorKind::Arrow, std::move(message));
}

IbtError IbtError::out_of_memory(std::string message) {
  return IbtError(ErrorKind::OutOfMemory, std::move(message));
}

IbtError IbtError::cancelled() { return IbtError(ErrorKind::Cancelled, "cancelled"); }

std::string IbtError::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "I/O error: " + message_;
    case ErrorKind::InvalidHeader:
      return "Invalid header: " + message_;
    case ErrorKind::Arrow:
      return "Arrow error: " + message_;
    case ErrorKind::OutOfMemory:
    case ErrorKind::Cancelled:
      break;
  }
  return message_;
}

}  // namespace corvex
