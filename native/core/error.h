// The error type of the reader and the channel builder. Errors are values: every fallible
// operation returns Result<T>, and only the CPython layer turns an error into an exception.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace corvex {

// Io: the file's bytes could not be had. InvalidHeader: the file breaks its own layout. Arrow:
// a column or batch broke the columnar format's rules (an internal fault). OutOfMemory: an
// allocation failed or the result would not fit. Cancelled: the caller asked the call to stop.
enum class ErrorKind { Io, InvalidHeader, Arrow, OutOfMemory, Cancelled };

// What the failure says about the file, for callers that sort failures or explain them (never by
// the message's text): NotAFile, a directory, FIFO, device or socket refused before any read (an
// Io error); NotIbt, too small for a main header or of an unknown version; Truncated, a region
// that passes the end of the file; LiveSnapshot, a file that the one rule of core/snapshot.h
// takes for a live telemetry snapshot; Changed, a file that is no longer the one read before
// (an Io error). The other failures are None: their kind says enough.
enum class Finding { None, NotAFile, NotIbt, Truncated, LiveSnapshot, Changed };

// The facts a failed open learnt about the file (core/reader.h), attached to its error so that
// a caller can explain the failure without reading the file again.
struct FileFacts;

class [[nodiscard]] IbtError {
 public:
  // An operating-system error number, displayed as "<description> (os error <code>)".
  static IbtError os(int code);
  // Any other I/O failure, displayed with the given text.
  static IbtError io(std::string text);
  static IbtError invalid_header(std::string message);
  static IbtError arrow(std::string message);
  static IbtError out_of_memory(std::string message);
  static IbtError cancelled();
  // An invalid header with a finding (NotIbt, Truncated).
  static IbtError invalid_header(Finding finding, std::string message);

  ErrorKind kind() const { return kind_; }
  Finding finding() const { return finding_; }
  void set_finding(Finding finding) { finding_ = finding; }
  // Null unless an open attached them.
  const FileFacts* facts() const { return facts_.get(); }
  void set_facts(std::shared_ptr<const FileFacts> facts) { facts_ = std::move(facts); }
  // The payload's own text, without the kind prefix.
  const std::string& message() const { return message_; }
  // "I/O error: ...", "Invalid header: ...", "Arrow error: ..."; the other kinds are their text.
  std::string display() const;

 private:
  IbtError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  ErrorKind kind_;
  Finding finding_ = Finding::None;
  std::string message_;
  std::shared_ptr<const FileFacts> facts_;
};

template <class T>
using Result = std::expected<T, IbtError>;

inline std::unexpected<IbtError> invalid_header(std::string message) {
  return std::unexpected(IbtError::invalid_header(std::move(message)));
}

inline std::unexpected<IbtError> invalid_header(Finding finding, std::string message) {
  return std::unexpected(IbtError::invalid_header(finding, std::move(message)));
}

}  // namespace corvex

// Early return on error, in the style of ARROW_ASSIGN_OR_RAISE.
#define CORVEX_CONCAT_INNER(a, b) a##b
#define CORVEX_CONCAT(a, b) CORVEX_CONCAT_INNER(a, b)
// `tmp` is a name and `lhs` may be a declaration ("const auto x"): neither can be parenthesized.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define CORVEX_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)        \
  auto tmp = (expr);                                        \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(*tmp)
// NOLINTEND(bugprone-macro-parentheses)
#define CORVEX_ASSIGN_OR_RETURN(lhs, expr) \
  CORVEX_ASSIGN_OR_RETURN_IMPL(CORVEX_CONCAT(_corvex_result_, __COUNTER__), lhs, expr)
#define CORVEX_RETURN_IF_ERROR(expr)                                                \
  do {                                                                              \
    auto _corvex_status = (expr);                                                   \
    if (!_corvex_status) return std::unexpected(std::move(_corvex_status).error()); \
  } while (false)
