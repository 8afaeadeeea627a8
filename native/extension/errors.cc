#include "extension/errors.h"

#include "core/file_facts.h"
#include "extension/pyref.h"

namespace corvex::py {

namespace {

// The kind callers sort failures by, as the exception's `kind` attribute. The texts are matched
// word for word by callers (corvex.diagnose, the dataset's error classes): keep them.
const char* kind_name(const IbtError& error) {
  switch (error.finding()) {
    case Finding::NotAFile:
      return "not_a_file";
    case Finding::NotIbt:
      return "not_ibt";
    case Finding::Truncated:
      return "truncated";
    case Finding::LiveSnapshot:
      return "live_snapshot";
    case Finding::Changed:
      return "changed";
    case Finding::None:
      break;
  }
  switch (error.kind()) {
    case ErrorKind::Io:
      return "io";
    case ErrorKind::InvalidHeader:
      return "invalid_header";
    case ErrorKind::Arrow:
      return "arrow";
    case ErrorKind::OutOfMemory:
      return "out_of_memory";
    case ErrorKind::Cancelled:
      break;
  }
  return "cancelled";
}

PyRef optional_size(const std::optional<uint64_t>& value) {
  if (!value) return PyRef::borrow(Py_None);
  return created(PyLong_FromUnsignedLongLong(*value));
}

void set(PyObject* exception, const char* name, PyRef value) {
  check(PyObject_SetAttrString(exception, name, value.get()));
}

// Raises `type` with the one argument `message`, and the kind and the facts of the failure as
// attributes: kind, file_size, whole_records, buffers (the live snapshot's (tick_count, offset)
// pairs) and file_type (what a path that is not a file names); None where unknown.
[[noreturn]] void raise_with_kind(PyObject* type, std::string_view message, const IbtError& error) {
  PyRef exception = called(PyObject_CallOneArg(type, text(message).get()));
  PyObject* e = exception.get();
  set(e, "kind", text(kind_name(error)));
  const FileFacts* facts = error.facts();
  set(e, "file_size", optional_size(facts != nullptr ? facts->size : std::nullopt));
  set(e, "whole_records", optional_size(facts != nullptr ? facts->whole_records : std::nullopt));
  if (facts != nullptr && !facts->live_buffers.empty()) {
    PyRef buffers = created(PyList_New(0));
    for (const LiveBuffer& buffer : facts->live_buffers) {
      PyRef pair = created(Py_BuildValue("(ii)", buffer.tick_count, buffer.offset));
      check(PyList_Append(buffers.get(), pair.get()));
    }
    set(e, "buffers", std::move(buffers));
  } else {
    set(e, "buffers", PyRef::borrow(Py_None));
  }
  set(e, "file_type",
      facts != nullptr && !facts->file_type.empty() ? text(facts->file_type)
                                                    : PyRef::borrow(Py_None));
  PyErr_SetObject(type, e);
  throw PythonError{};
}

}  // namespace

[[noreturn]] void raise_ibt_error(const IbtError& error, const SourceLabel& label, Stage stage) {
  const std::string prefix = label.is_path ? label.text + ": " : std::string();
  if (error.finding() == Finding::Changed) {
    // Raised like the arrays that no longer fit the channels read before (corvex.base).
    raise_with_kind(PyExc_RuntimeError, prefix + error.message(), error);
  }
  switch (error.kind()) {
    case ErrorKind::Cancelled:
      // The signal handler's exception is pending; keep it.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw PythonError{};
    case ErrorKind::OutOfMemory:
      raise_error(PyExc_MemoryError, prefix + error.message());
    case ErrorKind::Io:
      if (label.is_path) raise_with_kind(PyExc_OSError, prefix + error.display(), error);
      break;
    case ErrorKind::InvalidHeader:
    case ErrorKind::Arrow:
      if (label.is_path && stage == Stage::Open) {
        raise_with_kind(PyExc_OSError, prefix + error.display(), error);
      }
      break;
  }
  raise_with_kind(PyExc_RuntimeError, error.display(), error);
}

}  // namespace corvex::py
