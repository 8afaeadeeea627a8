#include "extension/errors.h"

#include "extension/pyref.h"

namespace corvex::py {

[[noreturn]] void raise_ibt_error(const IbtError& error, const SourceLabel& label, Stage stage) {
  const std::string prefix = label.is_path ? label.text + ": " : std::string();
  switch (error.kind()) {
    case ErrorKind::Cancelled:
      // The signal handler's exception is pending; keep it.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      throw PythonError{};
    case ErrorKind::OutOfMemory:
      raise_error(PyExc_MemoryError, prefix + error.message());
    case ErrorKind::Io:
      if (label.is_path) raise_error(PyExc_OSError, prefix + error.display());
      break;
    case ErrorKind::InvalidHeader:
    case ErrorKind::Arrow:
      if (label.is_path && stage == Stage::Open) {
        raise_error(PyExc_OSError, prefix + error.display());
      }
      break;
  }
  raise_error(PyExc_RuntimeError, error.display());
}

}  // namespace corvex::py
