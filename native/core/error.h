// The error type of the reader and the channel builder. Errors are values: every fallible
// operation returns Result<T>, and only the CPython layer turns an error into an exception.
#pragma once

#include <arrow/status.h>

#include <expected>
#include <string>
#include <utility>

namespace corvex {

enum class ErrorKind { Io, InvalidHeader, Arrow };

class [[nodiscard]] IbtError {
 public:
  // An operating-system error, displayed as "<description> (os error <code>)".
  static IbtError os(int code);
  // Any other I/O failure, displayed with the given text.
  static IbtError io(std::string text);
  static IbtError invalid_header(std::string message);
  static IbtError arrow(arrow::Status status);

  ErrorKind kind() const { return kind_; }
  // The payload's own text, without the kind prefix.
  const std::string& message() const { return message_; }
  // The Arrow library's status for the Arrow kind; OK for the other kinds.
  const arrow::Status& status() const { return status_; }
  // "I/O error: ...", "Invalid header: ..." or "Arrow error: ...".
  std::string display() const;

 private:
  IbtError(ErrorKind kind, std::string message, arrow::Status status = arrow::Status::OK())
      : kind_(kind), message_(std::move(message)), status_(std::move(status)) {}
  ErrorKind kind_;
  std::string message_;
  arrow::Status status_;
};

template <class T>
using Result = std::expected<T, IbtError>;

inline std::unexpected<IbtError> invalid_header(std::string message) {
  return std::unexpected(IbtError::invalid_header(std::move(message)));
}

}  // namespace corvex

// Early return on error, in the style of ARROW_ASSIGN_OR_RAISE.
#define CORVEX_CONCAT_INNER(a, b) a##b
#define CORVEX_CONCAT(a, b) CORVEX_CONCAT_INNER(a, b)
#define CORVEX_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)        \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(*tmp)
#define CORVEX_ASSIGN_OR_RETURN(lhs, expr) \
  CORVEX_ASSIGN_OR_RETURN_IMPL(CORVEX_CONCAT(_corvex_result_, __COUNTER__), lhs, expr)
#define CORVEX_RETURN_IF_ERROR(expr)                                                \
  do {                                                                              \
    auto _corvex_status = (expr);                                                   \
    if (!_corvex_status) return std::unexpected(std::move(_corvex_status).error()); \
  } while (false)
