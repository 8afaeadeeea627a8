#include "core/error.h"

#include <cstring>

namespace corvex {

IbtError IbtError::os(int code) {
  char buf[256];
  // GNU strerror_r returns a pointer that may or may not be buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return IbtError(ErrorKind::Io, std::string(text) + " (os error " + std::to_string(code) + ")");
}

IbtError IbtError::io(std::string text) { return IbtError(ErrorKind::Io, std::move(text)); }

IbtError IbtError::invalid_header(std::string message) {
  return IbtError(ErrorKind::InvalidHeader, std::move(message));
}

IbtError IbtError::arrow(arrow::Status status) {
  std::string text = status.ToString();
  return IbtError(ErrorKind::Arrow, std::move(text), std::move(status));
}

std::string IbtError::display() const {
  switch (kind_) {
    case ErrorKind::Io:
      return "I/O error: " + message_;
    case ErrorKind::InvalidHeader:
      return "Invalid header: " + message_;
    case ErrorKind::Arrow:
      return "Arrow error: " + message_;
  }
  return message_;
}

}  // namespace corvex
