// Turning the caller's `source` into an opened file: a path is opened and read as it is needed,
// an exact bytes object is read where it lies, other bytes and file-like objects are copied once.
#pragma once

#include <optional>

#include "core/reader.h"
#include "extension/errors.h"
#include "extension/pyref.h"

namespace corvex::py {

struct AcquiredSource {
  PyRef keep_alive;  // the bytes object the file reads in place, held for the call
  IbtFile file;
  SourceLabel label;
};

// Empty, with a Python exception set, when the source cannot be classified, read or opened.
std::optional<AcquiredSource> acquire_source(PyObject* source);

}  // namespace corvex::py
