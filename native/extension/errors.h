// The one place where a reader error becomes a Python exception. The types and messages are the
// ones callers match on, so they follow fixed rules:
// - a path source that cannot be opened, read or validated: OSError("{path}: {text}"), built
//   from the message alone (no errno, never a subclass such as FileNotFoundError);
// - bytes and file objects that fail to open, and every later error of the time column, the
//   channels or the laps: RuntimeError("{text}");
// - memory that cannot be had: MemoryError, with the path in front for a path source;
// - a call stopped by a signal: the exception its handler raised, already set.
// The OSError and RuntimeError carry the failure's kind as the attribute `kind` ("io",
// "not_a_file", "not_ibt", "truncated", "invalid_header", "live_snapshot", "changed", "arrow"),
// and what the reader learnt of the file as `file_size`, `whole_records`, `buffers` and
// `file_type`, so that callers sort and explain failures without matching the message or
// reading the file again.
#pragma once

#include <string>
#include <utility>

#include "core/error.h"

namespace corvex::py {

enum class Stage { Open, Read };

struct SourceLabel {
  std::string text;  // the path as the caller gave it, or "<bytes>"
  bool is_path = false;
};

[[noreturn]] void raise_ibt_error(const IbtError& error, const SourceLabel& label, Stage stage);

// The value of a reader result, or its error raised as above.
template <class T>
T value_or_raise(Result<T> result, const SourceLabel& label, Stage stage) {
  if (!result) raise_ibt_error(result.error(), label, stage);
  return std::move(*result);
}

}  // namespace corvex::py
